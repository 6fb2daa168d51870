#!/usr/bin/env bash
# A local room on this machine: the broker, the scripted word processor holding a sample
# document that asks the agent to turn its bullets into a table, and the agent launched into the
# room with --once. Prints the document before and after (as markdown) and the agent's log.
set -euo pipefail

BUILD="${1:-build}"
BIN="$BUILD/bin"
ROOM_TOOL="$BIN/quern-room"
AGENT="$BIN/quern-agent"
ROOM=9b2f6c1e-4a7d-4f3e-8c1a-2d5e6f708192

work="$(mktemp -d)"
broker_pid=""
writer_pid=""
cleanup() {
  [[ -n "$writer_pid" ]] && kill "$writer_pid" 2>/dev/null && wait "$writer_pid" 2>/dev/null || true
  [[ -n "$broker_pid" ]] && kill "$broker_pid" 2>/dev/null && wait "$broker_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

wait_for() {  # FILE TEXT SECONDS
  local deadline=$((SECONDS + $3))
  until grep -q -- "$2" "$1" 2>/dev/null; do
    if ((SECONDS >= deadline)); then
      echo "demo: timed out waiting for '$2' in $1" >&2
      cat "$1" >&2 || true
      return 1
    fi
    sleep 0.05
  done
}

cat >"$work/sample.md" <<'MD'
# Team

- Name: Ada
- Role - Lead
- Tea

Claude: turn the bullets into a table
MD

socket="$work/room.sock"
"$ROOM_TOOL" serve --socket "$socket" >"$work/broker.out" 2>"$work/broker.err" &
broker_pid=$!
wait_for "$work/broker.out" "listening on" 10

mkfifo "$work/writer.in"
"$ROOM_TOOL" app word-processor --socket "$socket" --room "$ROOM" --markdown "$work/sample.md" \
  <"$work/writer.in" >"$work/writer.out" 2>"$work/writer.err" &
writer_pid=$!
exec 3>"$work/writer.in"
wait_for "$work/writer.out" '"event":"joined"' 10

markdown_of() {  # the markdown of the last document line with this reason
  grep "\"reason\":\"$1\"" "$work/writer.out" | tail -n 1 |
    python3 -c 'import json,sys; print(json.loads(sys.stdin.read())["markdown"], end="")'
}

echo "== the document before"
markdown_of loaded
echo

provider_note="no model provider is configured, so the keyword vocabulary decides"
agent_args=(--workspace "$ROOM" --once --await-document-ms 10000)
if [[ -z "${QUERN_DEMO_MODEL:-}" ]]; then
  agent_args+=(--no-model)
  echo "== the agent (without a model: $provider_note)"
else
  echo "== the agent (with the configured model)"
fi
QUERN_LOG="${QUERN_LOG:-info}" "$ROOM_TOOL" launch --socket "$socket" -- "$AGENT" "${agent_args[@]}" \
  2>"$work/agent.err" || {
  status=$?
  cat "$work/agent.err" >&2
  echo "demo: the agent failed with status $status" >&2
  exit 1
}
grep 'quern_agent' "$work/agent.err" || true
echo

echo print >&3
wait_for "$work/writer.out" '"reason":"asked"' 10
echo "== the document after"
markdown_of asked
echo quit >&3
exec 3>&-
wait "$writer_pid" 2>/dev/null || true
writer_pid=""
