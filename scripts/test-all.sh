#!/usr/bin/env bash
# Installs what is missing, builds the native, the sanitizer and the 32-bit variants,
# runs every test in each, then runs the fuzz targets for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
variant() {
  local name=$1; shift
  echo "=== $name build"
  cmake -S . -B "build/$name" "$@"
  cmake --build "build/$name" -j"$jobs"
  echo "=== $name tests"
  ctest --test-dir "build/$name" --output-on-failure -j"$jobs"
}

variant native -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  variant asan -DCMAKE_BUILD_TYPE=Debug -DDORVISH_SANITIZE=ON
variant i386 -DCMAKE_BUILD_TYPE=Debug -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake

if [ -f scripts/fuzz.sh ]; then
  echo "=== fuzz"
  FUZZ_BUILD=build/fuzz bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
fi
echo "=== all tests passed"
