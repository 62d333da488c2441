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
  ctest --test-dir "build/$name" --output-on-failure -j"$jobs" "$@"
}
variant() {
  build "$@"
  run_tests "$1"
}

variant native -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  variant asan -DCMAKE_BUILD_TYPE=Debug -DDORVISH_SANITIZE=ON

build i386 -DCMAKE_BUILD_TYPE=Debug -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake
emulator=$(bash scripts/i386-runner.sh)
if [ "$emulator" = native ]; then
  run_tests i386
else
  # Under qemu-user a 32-bit test program can neither adopt the forked daemon (no child
  # subreaper) nor start a process through Qt, so the tests that start the daemon or a
  # host and check on it run from native test programs against the 32-bit binaries.
  hosting='^(DorvishProcess|E2E|Companion|DaemonFiles|TestHost|CardOperations)\.|^VantrelMetadata\.TestHostLoads'
  echo "32-bit programs run under $emulator"
  run_tests i386 -E "$hosting"
  build i386-hosted -DCMAKE_BUILD_TYPE=Debug -DDORVISH_DELIVERABLES_FROM="$PWD/build/i386"
  run_tests i386-hosted -R "$hosting"
fi

if [ -f scripts/fuzz.sh ]; then
  echo "=== fuzz"
  FUZZ_BUILD=build/fuzz bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
fi
echo "=== all tests passed"
