#!/usr/bin/env bash
# Installs what is missing, builds dorvish and starts it as a daemon on the example
# configuration, with its working directory in run/ (logs and pid file named there and in /tmp).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --main
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DDORVISH_TESTS=OFF
cmake --build build/release -j"$(nproc)" --target dorvish

bin=$PWD/build/release/server/dorvish
mkdir -p run
cp examples/dorvish.cfg run/config.cfg
cd run
"$bin" -c config.cfg
sleep 1
if [ -f /tmp/dorvish.pid ] && kill -0 "$(cat /tmp/dorvish.pid)" 2>/dev/null; then
  echo "dorvish runs as pid $(cat /tmp/dorvish.pid), working directory $PWD."
  echo "Its log is in $PWD (see the key 'log' in run/config.cfg)."
  echo "Stop it with: kill \$(cat /tmp/dorvish.pid)"
else
  echo "dorvish did not stay up; see the log files in $PWD" >&2
  exit 1
fi
