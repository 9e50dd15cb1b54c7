#!/bin/bash
# The demo's upload as scripts/demo runs it, twice (--reset, then again):
# each run must show its batches uploaded and the store emptied, and the
# collector must hold exactly those batches, each once with its ten events.
#   demo_upload_test.sh COLLECTOR DEMO FOLDER
set -eu
collector=$1 demo=$2 dir=$3
rm -rf "$dir"
mkdir -p "$dir"
pid=
trap '[ -z "$pid" ] || { kill "$pid"; wait "$pid" || true; }' EXIT
fail() { echo "demo upload: $*" >&2; exit 1; }

"$collector" export-ca --state "$dir/collector" "$(dirname "$demo")/config/qx_cacert.pem" >/dev/null
"$collector" --state "$dir/collector" --port 0 --control-port 0 >"$dir/collector.log" 2>&1 &
pid=$!
for _ in $(seq 200); do [ -s "$dir/collector/ports.json" ] && break; sleep 0.05; done
port=$(sed -n 's/.*"https":\([0-9]*\).*/\1/p' "$dir/collector/ports.json")
[ -n "$port" ] || fail "the collector did not start: $(cat "$dir/collector.log")"

ids=()
for run in --reset --again; do
    [ "$run" = --again ] && run=
    out=$("$demo" --dir "$dir/demo" $run --upload-to "localhost:$port") || fail "tally-demo: $out"
    batches=$(sed -n 's/^  batch \([0-9a-f-]\{36\}\)  10 events  sent .* answer 200 .*/\1/p' <<<"$out")
    [ -n "$batches" ] || fail "no batch uploaded in $out"
    grep -q "after the upload the store holds 0 events" <<<"$out" || fail "store not emptied: $out"
    # The stored snapshot is told as taken before the upload, ahead of it.
    before=$(grep -n "^== Step [0-9]*: what the analytics library had stored, before any upload" <<<"$out" | cut -d: -f1)
    upload=$(grep -n "^== Steps [0-9]* and [0-9]*: .* uploaded to" <<<"$out" | cut -d: -f1)
    [ -n "$before" ] && [ -n "$upload" ] && [ "$before" -lt "$upload" ] || fail "snapshots out of order: $out"
    ids+=($batches)
done
shown=$("$collector" show --state "$dir/collector" --events 0)
[ "$(grep -c 'events=10  duplicates=0' <<<"$shown")" = "${#ids[@]}" ] || fail "collector holds: $shown"
for id in "${ids[@]}"; do grep -q "^  $id  events=10  duplicates=0" <<<"$shown" || fail "$id missing"; done
echo "demo upload: ${#ids[@]} batches uploaded and stored once: ${ids[*]}"
