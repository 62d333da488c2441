#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12; skips what is present.
# Usage: scripts/install-deps.sh [--main]   (--main: only what the native build needs)
set -euo pipefail

main_only=0
[ "${1:-}" = "--main" ] && main_only=1

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

native=(build-essential cmake pkg-config libboost-regex-dev libgtest-dev libgmock-dev googletest
        qtbase5-dev qtbase5-dev-tools)
tests=(clang-14 libclang-rt-14-dev crossbuild-essential-i386)
i386=(libboost-regex-dev:i386 libc6-dev:i386 qtbase5-dev:i386)

missing() {
  local p out=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || out+=("$p")
  done
  echo "${out[@]:-}"
}

updated=0
apt_install() {
  [ -n "$*" ] || return 0
  if [ "$updated" -eq 0 ]; then $SUDO apt-get update -qq </dev/null; updated=1; fi
  $SUDO apt-get install -y -qq --no-install-recommends "$@" </dev/null
}

apt_install $(missing "${native[@]}")
[ "$main_only" -eq 1 ] && exit 0

apt_install $(missing "${tests[@]}")

# The 32-bit libraries come from Debian multiarch.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  updated=0
fi
need=$(missing "${i386[@]}")
if [ -n "$need" ]; then
  if [ "$updated" -eq 0 ]; then $SUDO apt-get update -qq </dev/null; updated=1; fi
  $SUDO apt-get install -y -qq --no-install-recommends --no-remove $need </dev/null
fi
