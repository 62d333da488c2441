#!/usr/bin/env bash
# Installs what is missing, builds the native, the sanitizer and the 32-bit variants,
# runs every test in each, then runs the fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
build() {
  local name=$1; shift
  echo "=== $name build"
  cmake -S . -B "build/$name" "$@"
  cmake --build "build/$name" -j"$jobs"
}
run_tests() {
  local name=$1; shift
  echo "=== $name tests"
  # A filter that matches nothing is a mistake, never a pass.
  ctest --test-dir "build/$name" --output-on-failure --no-tests=error -j"$jobs" "$@"
}
# The names of the tests a run with these ctest arguments would run, one a line, sorted.
test_names() {
  local name=$1; shift
  ctest --test-dir "build/$name" -N "$@" | sed -n 's/^ *Test *#[0-9]*: //p' | sort
}
# Fails unless the tests of the given lists are exactly those of the native run
# ($lists/native).
same_tests_as_native() {
  local missing extra
  missing=$(comm -23 "$lists/native" <(sort -u "$@"))
  extra=$(comm -13 "$lists/native" <(sort -u "$@"))
  if [ -n "$missing$extra" ]; then
    echo "the 32-bit runs do not run the native run's tests" >&2
    [ -z "$missing" ] || sed 's/^/not run in 32 bits: /' <<<"$missing" >&2
    [ -z "$extra" ] || sed 's/^/not in the native run: /' <<<"$extra" >&2
    return 1
  fi
}
variant() {
  build "$@"
  run_tests "$1"
}

variant native -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  variant asan -DCMAKE_BUILD_TYPE=Debug -DDORVISH_SANITIZE=ON

# The 32-bit build runs none of its programs: they list their tests when ctest runs them,
# after the runner has made sure this machine can run them.
build i386 -DCMAKE_BUILD_TYPE=Debug -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake
emulator=$(bash scripts/i386-runner.sh)
lists=$(mktemp -d)
trap 'rm -rf "$lists"' EXIT
test_names native >"$lists/native"
if [ "$emulator" = native ]; then
  test_names i386 >"$lists/i386"
  same_tests_as_native "$lists/i386"
  run_tests i386
else
  # Under qemu-user a 32-bit test program can neither adopt the forked daemon (no child
  # subreaper) nor start a process through Qt, so the tests that start the daemon or a
  # host and check on it run from native test programs against the 32-bit binaries.
  hosted=()
  for suite in DorvishProcess E2E Companion DaemonFiles TestHost CardOperations; do
    hosted+=("^$suite\\.")
  done
  hosted+=('^VantrelMetadata\.TestHostLoads')
  hosting=$(IFS='|'; echo "${hosted[*]}")
  # A suite renamed or mistyped here would otherwise drop out of the hosted run unseen.
  for entry in "${hosted[@]}"; do
    if ! grep -Eq "$entry" "$lists/native"; then
      echo "no native test matches the hosted entry $entry" >&2
      exit 1
    fi
  done
  echo "32-bit programs run under $emulator"
  build i386-hosted -DCMAKE_BUILD_TYPE=Debug -DDORVISH_DELIVERABLES_FROM="$PWD/build/i386"
  test_names i386 -E "$hosting" >"$lists/emulated"
  test_names i386-hosted -R "$hosting" >"$lists/hosted"
  same_tests_as_native "$lists/emulated" "$lists/hosted"
  run_tests i386 -E "$hosting"
  run_tests i386-hosted -R "$hosting"
fi

if [ -f scripts/fuzz.sh ]; then
  echo "=== fuzz"
  FUZZ_BUILD=build/fuzz bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
fi
echo "=== all tests passed"
