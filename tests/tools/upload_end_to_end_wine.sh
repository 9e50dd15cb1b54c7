#!/bin/bash
# Runs the upload end-to-end test of the Windows build under Wine against a
# Linux tally-collector (the collector cannot be built for Windows):
#   upload_end_to_end_wine.sh [--postgres] COLLECTOR TEST_EXE EMULATOR...
# COLLECTOR is the linux preset's build (scripts/test builds it first); a
# missing one fails the test rather than skipping it. With --postgres the
# collector stores in a PostgreSQL server this script starts (a cluster in
# its temporary folder, a unix socket there, as nobody when run as root),
# one scenario runs, and the script counts what the database holds.
set -eu
postgres=
if [ "$1" = --postgres ]; then postgres=1; shift; fi
collector=$1 test_exe=$2
shift 2
if [ ! -x "$collector" ]; then
    echo "no Linux tally-collector at $collector: build it first" \
        "(cmake --build --preset linux --target tally-collector)" \
        "or configure with -DTALLY_COLLECTOR_EXE=PATH" >&2
    exit 1
fi
dir=$(mktemp -d)
pid= pgpid=
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    # SIGINT: PostgreSQL's fast shutdown.
    if [ -n "$pgpid" ]; then kill -INT "$pgpid" 2>/dev/null || true; wait "$pgpid" 2>/dev/null || true; fi
    rm -rf "$dir"
}
trap cleanup EXIT

store=()
if [ -n "$postgres" ]; then
    pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
    server=()
    if [ "$(id -u)" = 0 ]; then
        chown nobody "$dir"
        server=(setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups)
    fi
    "${server[@]}" "$pgbin/initdb" -D "$dir/pgdata" -U tally -A trust -E UTF8 --locale=C \
        --no-sync >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    "${server[@]}" "$pgbin/postgres" -D "$dir/pgdata" -k "$dir" -c listen_addresses= \
        -c fsync=off >"$dir/postgres.log" 2>&1 &
    pgpid=$!
    for _ in $(seq 300); do "$pgbin/pg_isready" -q -h "$dir" -U tally -d postgres && break; sleep 0.1; done
    psql() { "$pgbin/psql" -X -q -At -h "$dir" -U tally "$@"; }
    psql -d postgres -c "CREATE DATABASE uploads" || { cat "$dir/postgres.log" >&2; exit 1; }
    store=(--store "postgresql://tally@/uploads?host=$dir" --unavailable-retry-after 1)
fi

# Every test of the run uploads to this one collector from loopback: no
# per-address rate limit, which would count them all as one client.
"$collector" --state "$dir" --port 0 --test-mode --control-port 0 --rate-limit 0 "${store[@]}" \
    >"$dir/collector.log" 2>&1 &
pid=$!
for _ in $(seq 200); do [ -s "$dir/ports.json" ] && break; sleep 0.05; done
[ -s "$dir/ports.json" ] || { cat "$dir/collector.log" >&2; exit 1; }

# The HTTP client's test pins these public keys.
for key in server other-ca-root; do openssl pkey -in "$dir/$key.key" -pubout -out "$dir/$key.pub"; done

# Wine sees the Linux root as drive Z:. The outage and kill test and the
# collector's own tests start, stop and kill processes of their own: Linux
# only. The inspector's tests are ctest entries of their own.
if [ -z "$postgres" ]; then
    TALLY_E2E_COLLECTOR_STATE="Z:$dir" "$@" "$test_exe" \
        --gtest_filter='-UploadEndToEnd.OutageKill*:Collector.*:Inspect*'
    exit
fi
# One scenario through every kind of server trouble into PostgreSQL; the
# Windows build has no libpq, so the database is counted here: of the six
# batches of ten, the five before the opt-out were deleted at its request
# (audited: 5 batches, 50 events); the one after opting in again stays.
TALLY_E2E_COLLECTOR_STATE="Z:$dir" TALLY_E2E_STORE=postgresql "$@" "$test_exe" \
    --gtest_filter='UploadEndToEnd.EveryEventArrivesOnce*'
counts=$(psql -d uploads -c \
    "SELECT (SELECT count(*) FROM batches WHERE events = 10), (SELECT count(*) FROM events),
            (SELECT sum(batches) || '/' || sum(events) FROM deletions)")
echo "in PostgreSQL: batches of ten|events|deleted batches/events = $counts"
[ "$counts" = "1|10|5/50" ] || { echo "expected 1|10|5/50" >&2; exit 1; }
