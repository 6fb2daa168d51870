#!/usr/bin/env bash
# Runs the peer engines on the same traces as bench-crdt-trace and prints their lines, each
# followed by the same figures as ratios to ours (peer / quern; above 1 means we do better).
# `bench/crdt-trace/peers.sh BUILD_DIR`. Needs node and npm; installs the peers on demand and
# skips them (without failing) when that is not possible.
set -uo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
ours="$build/bench/crdt-trace.last"

if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "bench=crdt-trace peers=skipped reason=\"node or npm is not installed\""
  exit 0
fi
if [ ! -d "$here/node_modules/loro-crdt" ] || [ ! -d "$here/node_modules/yjs" ] || [ ! -d "$here/node_modules/@automerge/automerge" ]; then
  if ! (cd "$here" && timeout 300 npm ci --no-audit --no-fund --loglevel=error >/dev/null 2>&1); then
    echo "bench=crdt-trace peers=skipped reason=\"npm could not install the peers (no registry?)\""
    exit 0
  fi
fi

# value KEY LINE: the number after KEY= in LINE, or nothing.
value() { sed -n "s/.* $1=\([0-9.]*\).*/\1/p" <<<"$2"; }

for trace in automerge-paper seph-blog1; do
  our_line=$(grep " trace=$trace " "$ours" 2>/dev/null | head -n 1)
  for system in automerge yjs loro; do
    line=$(node "$here/peers.mjs" "$system" "$root/tests/data/editing-traces/$trace.json.gz" "$trace" 2>&1 | tail -n 1)
    echo "$line"
    [ -z "$our_line" ] && continue
    ratios=""
    for key in apply_ms apply_per_change_ms save_ms bytes load_ms peak_rss_kb; do
      theirs=$(value "$key" "$line")
      mine=$(value "$key" "$our_line")
      [ -z "$theirs" ] || [ -z "$mine" ] && continue
      ratios+=" ${key%_ms}_ratio=$(awk -v a="$theirs" -v b="$mine" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "inf" }')"
    done
    echo "bench=crdt-trace trace=$trace system=$system vs=quern$ratios"
  done
done
