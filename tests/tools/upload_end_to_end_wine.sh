#!/bin/bash
# Runs the upload end-to-end test of the Windows build under Wine against a
# Linux tally-collector (the collector cannot be built for Windows):
#   upload_end_to_end_wine.sh COLLECTOR TEST_EXE EMULATOR...
# COLLECTOR is the linux preset's build (scripts/test builds it first); a
# missing one fails the test rather than skipping it.
set -eu
collector=$1 test_exe=$2
shift 2
if [ ! -x "$collector" ]; then
    echo "no Linux tally-collector at $collector: build it first" \
        "(cmake --build --preset linux --target tally-collector)" \
        "or configure with -DTALLY_COLLECTOR_EXE=PATH" >&2
    exit 1
fi
dir=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    rm -rf "$dir"
}
trap cleanup EXIT

# Every test of the run uploads to this one collector from loopback: no
# per-address rate limit, which would count them all as one client.
"$collector" --state "$dir" --port 0 --test-mode --control-port 0 --rate-limit 0 \
    >"$dir/collector.log" 2>&1 &
pid=$!
for _ in $(seq 200); do [ -s "$dir/ports.json" ] && break; sleep 0.05; done
[ -s "$dir/ports.json" ] || { cat "$dir/collector.log" >&2; exit 1; }

# The HTTP client's test pins these public keys.
for key in server other-ca-root; do openssl pkey -in "$dir/$key.key" -pubout -out "$dir/$key.pub"; done

# Wine sees the Linux root as drive Z:. The outage and kill test and the
# collector's own tests start, stop and kill processes of their own: Linux
# only. The inspector's tests are ctest entries of their own.
TALLY_E2E_COLLECTOR_STATE="Z:$dir" "$@" "$test_exe" \
    --gtest_filter='-UploadEndToEnd.OutageKill*:Collector.*:Inspect*'
