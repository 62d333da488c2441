#!/usr/bin/env bash
# Runs every libFuzzer target of tools/fuzz for a bounded time against a copy of its
# seed corpus. Usage: scripts/fuzz.sh [seconds per target, default 60]
# The Clang build goes to $FUZZ_BUILD (default build/fuzz); any crash fails the script.
set -euo pipefail

seconds="${1:-60}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;;
esac

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD:-$root/build/fuzz}"
# The targets run from a scratch directory, so a relative build path is made absolute.
mkdir -p "$build"
build="$(cd "$build" && pwd)"
targets=(parse frames request config service answer)

# The libraries get coverage instrumentation without the fuzzer's main; the sanitizers
# come from the project's own option.
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" \
  -DDORVISH_FUZZ=ON -DDORVISH_SANITIZE=ON \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$build" -j8 --target "${targets[@]/#/fuzz_}"

work="$(mktemp -d "${TMPDIR:-/tmp}/dorvish-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT

status=0
for t in "${targets[@]}"; do
  mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
  cp "$root/tools/fuzz/corpus/$t/"* "$work/$t/corpus/"
  echo "== fuzz_$t for ${seconds}s"
  # The log and any success file are written in the scratch directory. The paths are
  # absolute because a target may move into a scratch directory of its own.
  if ! (cd "$work/$t" && "$build/tools/fuzz/fuzz_$t" -max_total_time="$seconds" \
          -artifact_prefix="$work/$t/artifacts/" -print_final_stats=1 "$work/$t/corpus" \
          >"$work/$t/output.txt" 2>&1); then
    echo "fuzz_$t FAILED; last lines of its output:" >&2
    tail -n 40 "$work/$t/output.txt" >&2
    mkdir -p "$build/crashes/$t"
    cp "$work/$t/artifacts/"* "$build/crashes/$t/" 2>/dev/null || true
    echo "crash inputs kept in $build/crashes/$t" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^Done' "$work/$t/output.txt" || true
  fi
done
exit $status
