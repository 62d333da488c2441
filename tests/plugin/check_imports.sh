#!/usr/bin/env bash
# Checks what a built plug-in needs from Qt against the Qt version its metadata announces.
# A host checks that version before it loads the library; anything newer that the library
# needs makes the load fail in a host that passed the check.
#
#   check_imports.sh READELF LIBRARY
#       exit 0: clean; 1: rejected (one "REJECT:" line per finding); 2: cannot check.
#   check_imports.sh --symbols-dir DIR ...
#       reads the Qt packages' symbols files from DIR instead of dpkg's own directory.
#   check_imports.sh --expect-rejected READELF LIBRARY TEXT...
#       exit 0 when the check rejects LIBRARY and every TEXT occurs in its findings
#       (shows that the check itself catches what it is meant to catch).
#
# Rejected:
# - a library not bound at load (no BIND_NOW): a symbol the host lacks would then be found
#   missing only when first called, in the middle of an operation;
# - a Qt version node above the announced one (Qt_5.N with N greater than the announced minor,
#   or another major), in the library's version needs or on an imported symbol;
# - Qt's private API (Qt_5_PRIVATE_API), which changes with every Qt release;
# - every imported Qt symbol that Debian's symbols files of the Qt packages (for the library's
#   architecture) date after the announced version, and every one they do not list at all.
#   Qt 5 files every public function under the node Qt_5 whatever release added it, so the
#   version node alone says nothing; those files give each symbol the first version that
#   has it.
set -uo pipefail

symbols_dir=/var/lib/dpkg/info
if [ "${1:-}" = "--symbols-dir" ] && [ $# -ge 2 ]; then
  symbols_dir=$2
  shift 2
fi
expect=0
if [ "${1:-}" = "--expect-rejected" ]; then
  expect=1
  shift
fi
if [ $# -lt 2 ]; then
  echo "usage: check_imports.sh [--symbols-dir DIR] [--expect-rejected] READELF LIBRARY [TEXT...]" >&2
  exit 2
fi
readelf=$1
lib=$2
shift 2
qt_packages=(libqt5core5a libqt5network5 libqt5xml5)

# "NAME@NODE" with NAME demangled where c++filt is at hand.
demangle() {
  local name=${1%@*} node=${1##*@}
  if command -v c++filt >/dev/null; then name=$(c++filt -- "$name"); fi
  echo "$name@$node"
}

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

  symbols=$("$readelf" --dyn-syms -W "$lib") || return 2
  needs=$("$readelf" -V -W "$lib") || return 2
  # Imported symbols with their version node: "NAME@NODE".
  local imports
  imports=$(echo "$symbols" | awk '$7 == "UND" && NF >= 8 { print $8 }')
  if ! echo "$needs" | grep -q "Name: Qt_$major"; then
    echo "$lib needs no Qt_$major version node: nothing to check against" >&2
    return 2
  fi

  local found=0 node node_major node_minor line
  if ! "$readelf" -d -W "$lib" | grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW'; then
    echo "REJECT: not bound at load (no BIND_NOW): a missing symbol would show only when called"
    found=1
  fi
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
          echo "REJECT: imports $(demangle "$line")"
          found=1
        fi ;;
    esac
  done < <(echo "$imports")

  # Each Qt import with the version that first has it: "NAME@NODE VERSION" (VERSION "-" when
  # no symbols file lists it).
  local machine arch files=() package file dated
  machine=$("$readelf" -h "$lib" | sed -n 's/^ *Machine: *//p')
  case "$machine" in
    *X86-64*) arch=amd64 ;;
    *80386*) arch=i386 ;;
    *) echo "$lib: no Qt symbols files for the machine \"$machine\"" >&2; return 2 ;;
  esac
  for package in "${qt_packages[@]}"; do
    file=$symbols_dir/$package:$arch.symbols
    if [ ! -r "$file" ]; then
      echo "cannot date the Qt imports: $file is missing (install $package:$arch)" >&2
      return 2
    fi
    files+=("$file")
  done
  dated=$(echo "$imports" | grep '@Qt_' | awk '
    FILENAME != "-" { if ($0 ~ /^ / && NF >= 2) first[$1] = $2; next }
    { print $0, ($0 in first) ? first[$0] : "-" }' "${files[@]}" -)
  local name version version_major version_minor
  while read -r name version; do
    [ -n "$name" ] || continue
    if [ "$version" = "-" ]; then
      echo "REJECT: imports $(demangle "$name"), which no symbols file of Qt $arch lists"
      found=1
      continue
    fi
    version_major=${version%%.*}
    version_minor=${version#*.}; version_minor=${version_minor%%[!0-9]*}
    if [ "$version_major" -gt "$major" ] 2>/dev/null \
       || { [ "$version_major" = "$major" ] && [ "${version_minor:-0}" -gt "$minor" ]; }; then
      echo "REJECT: imports $(demangle "$name"), first in Qt $version"
      found=1
    fi
  done < <(echo "$dated")

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
