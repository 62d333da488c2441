#!/usr/bin/env bash
# Tells how this machine runs 32-bit x86 programs: prints "native", or the path of the
# emulator that binfmt_misc hands them to. A machine that runs neither gets Debian's
# qemu-user registered for them. Fails when no way is found.
set -euo pipefail

i386_magic=7f454c4601010100000000000000000002000300
binfmt=/proc/sys/fs/binfmt_misc

# An enabled binfmt_misc entry for i386 ELF files takes them before the kernel's own loader;
# prints its interpreter (our own entry first, where there are several).
registered() {
  [ -r "$binfmt/status" ] && grep -qx enabled "$binfmt/status" || return 1
  local f
  for f in "$binfmt/qemu-i386" "$binfmt"/*; do
    case ${f##*/} in register | status) continue ;; esac
    if grep -qx enabled "$f" 2>/dev/null && grep -qx "magic $i386_magic" "$f"; then
      sed -n 's/^interpreter //p' "$f"
      return 0
    fi
  done
  return 1
}
runs() { "$probe_dir/probe" </dev/null >/dev/null 2>&1; }

probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
echo 'int main(void) { return 0; }' | i686-linux-gnu-gcc -x c - -o "$probe_dir/probe"

# An entry counts only when the probe runs through it: one left from an earlier setup may
# name an interpreter that is gone.
if emulator=$(registered); then
  if runs; then
    echo "$emulator"
    exit 0
  fi
elif runs; then
  echo native
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
if ! dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q 'install ok installed'; then
  $SUDO apt-get update -qq </dev/null >&2
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends qemu-user-static </dev/null >&2
fi
[ -e "$binfmt/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$binfmt" >&2
# Debian registers no i386 entry on an amd64 host, which it expects to run them itself. An
# entry of that name from before is dropped, so that the one registered here (the kernel
# tries the newest entry first) is known to be Debian's static emulator. The registration
# lasts until the machine restarts, so every run of the tests comes through here.
if [ -e "$binfmt/qemu-i386" ]; then
  echo -1 | $SUDO tee "$binfmt/qemu-i386" >/dev/null
fi
printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
  $SUDO tee "$binfmt/register" >/dev/null
if emulator=$(registered) && runs; then
  echo "$emulator"
  exit 0
fi
echo "this machine runs no 32-bit x86 program, natively or emulated" >&2
exit 1
