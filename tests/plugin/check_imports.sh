#!/usr/bin/env bash
# Checks what a built plug-in needs from Qt against the Qt version its metadata announces.
# A host checks that version before it loads the library; anything newer that the library
# needs makes the load fail in a host that passed the check.
#
#   check_imports.sh READELF LIBRARY
#       exit 0: clean; 1: rejected (one "REJECT:" line per finding); 2: cannot check.
#   check_imports.sh --expect-rejected READELF LIBRARY TEXT...
#       exit 0 when the check rejects LIBRARY and every TEXT occurs in its findings
#       (shows that the check itself catches what it is meant to catch).
#
# Rejected:
# - a Qt version node above the announced one (Qt_5.N with N greater than the announced minor,
#   or another major), in the library's version needs or on an imported symbol;
# - Qt's private API (Qt_5_PRIVATE_API), which changes with every Qt release;
# - imported functions known to be newer than Qt 5.12 (the list below). Qt 5 files every
#   public function under the node Qt_5 whatever release added it, so these are named.
set -uo pipefail

expect=0
if [ "${1:-}" = "--expect-rejected" ]; then
  expect=1
  shift
fi
if [ $# -lt 2 ]; then
  echo "usage: check_imports.sh [--expect-rejected] READELF LIBRARY [TEXT...]" >&2
  exit 2
fi
readelf=$1
lib=$2
shift 2

# Pattern (extended regex over the demangled name) and the Qt release that added it.
newer_functions=(
  'QtPrivate::argToQString;5.14: the variadic QString::arg and QLatin1String::arg'
  'QCalendar;5.14: QCalendar'
  'QRecursiveMutex;5.14: QRecursiveMutex'
  'Qt::SplitBehaviorFlags;5.14: split with Qt::SplitBehavior'
  'QDate::(startOfDay|endOfDay);5.14: QDate::startOfDay and endOfDay'
  'isValidUtf16;5.15: isValidUtf16'
  'QAbstractSocket::errorOccurred;5.15: QAbstractSocket::errorOccurred'
)

check() {
  local sections offset size major minor symbols needs
  sections=$("$readelf" -S -W "$lib") || { echo "cannot read $lib" >&2; return 2; }
  # "[14] .qtmetadata PROGBITS <address> <offset> <size> ..."
  read -r offset size < <(echo "$sections" | sed -n 's/.*\] \.qtmetadata *[A-Z_]* *[0-9a-f]* \([0-9a-f]*\) \([0-9a-f]*\) .*/\1 \2/p')
  if [ -z "${offset:-}" ] || [ $((16#$size)) -lt 16 ]; then
    echo "$lib has no Qt plug-in metadata" >&2
    return 2
  fi
  # "QTMETADATA !", the metadata version, then the Qt major and minor version.
  if [ "$(dd if="$lib" bs=1 skip=$((16#$offset)) count=12 status=none)" != "QTMETADATA !" ]; then
    echo "$lib: the .qtmetadata section does not start with QTMETADATA !" >&2
    return 2
  fi
  read -r major minor < <(od -An -tu1 -j $((16#$offset + 13)) -N2 "$lib")
  echo "metadata announces Qt $major.$minor"

  symbols=$("$readelf" --dyn-syms -W -C "$lib") || return 2
  needs=$("$readelf" -V -W "$lib") || return 2
  if ! echo "$needs" | grep -q "Name: Qt_$major"; then
    echo "$lib needs no Qt_$major version node: nothing to check against" >&2
    return 2
  fi

  local found=0 node node_major node_minor line entry pattern reason
  # Version needs, then the version of every imported symbol.
  while read -r node; do
    case "$node" in
      Qt_${major}) ;;
      Qt_*_PRIVATE_API)
        echo "REJECT: needs $node (Qt's private API)"
        found=1 ;;
      Qt_[0-9]*)
        node_major=${node#Qt_}; node_major=${node_major%%.*}
        node_minor=${node#Qt_$node_major}; node_minor=${node_minor#.}
        if [ "$node_major" != "$major" ] || { [ -n "$node_minor" ] && [ "$node_minor" -gt "$minor" ]; }; then
          echo "REJECT: needs version node $node, above Qt $major.$minor"
          found=1
        fi ;;
    esac
  done < <(echo "$needs" | sed -n 's/.*Name: \(Qt_[^ ]*\).*/\1/p' | sort -u)

  while read -r line; do
    node=${line##*@}
    case "$node" in
      Qt_${major}) ;;
      Qt_*)
        node_major=${node#Qt_}; node_major=${node_major%%.*}
        node_minor=${node#Qt_$node_major}; node_minor=${node_minor#.}
        if [[ "$node" == *PRIVATE_API ]] || [ "$node_major" != "$major" ] \
           || { [ -n "$node_minor" ] && [ "$node_minor" -gt "$minor" ]; }; then
          echo "REJECT: imports $line"
          found=1
        fi ;;
    esac
    for entry in "${newer_functions[@]}"; do
      pattern=${entry%%;*}
      reason=${entry#*;}
      if [[ "$line" =~ $pattern ]]; then
        echo "REJECT: imports $line (Qt $reason)"
        found=1
      fi
    done
  done < <(echo "$symbols" | awk '$7 == "UND" && NF >= 8 { $1=$2=$3=$4=$5=$6=$7=""; sub(/^ +/, ""); sub(/ \([0-9]+\)$/, ""); print }')

  return $found
}

output=$(check)
status=$?
echo "$output"
if [ "$expect" -eq 0 ]; then
  exit $status
fi

if [ "$status" -ne 1 ]; then
  echo "expected $lib to be rejected, the check ended with status $status" >&2
  exit 1
fi
for text in "$@"; do
  if ! echo "$output" | grep '^REJECT:' | grep -qF -- "$text"; then
    echo "expected a finding with \"$text\"" >&2
    exit 1
  fi
done
exit 0
