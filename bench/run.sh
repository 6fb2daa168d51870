#!/usr/bin/env bash
# Runs the benchmarks: `bench/run.sh BUILD_DIR [NAME]`. Each benchmark is a program
# BUILD_DIR/bench/bin/bench-<name>, optionally with a peer script bench/<name>/peers.sh that
# measures other systems in the same run. Every measurement is one line `bench=<name> ...`.
set -euo pipefail
build=${1:-build}
only=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
bin="$build/bench/bin"

shopt -s nullglob
programs=("$bin"/bench-*)
if [ ${#programs[@]} -eq 0 ]; then
  echo "bench: no benchmarks are built yet"
  exit 0
fi
ran=0
for program in "${programs[@]}"; do
  name=${program##*/bench-}
  if [ -n "$only" ] && [ "$name" != "$only" ]; then continue; fi
  ran=1
  "$program"
  if [ -x "$here/$name/peers.sh" ]; then "$here/$name/peers.sh" "$build"; fi
done
if [ "$ran" -eq 0 ]; then
  echo "bench: no benchmark named '$only'" >&2
  exit 2
fi
