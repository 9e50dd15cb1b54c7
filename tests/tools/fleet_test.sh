#!/bin/bash
# tally-fleet against a collector on SQLite: what its JSON line counts must
# be what the collector stored (new batches, duplicates from resends, events,
# requests), a new connection per upload must be one, held connections and a
# header flood must reach the server, and it must refuse to aim anywhere but
# loopback or to run unbounded; a connection cut without an answer must count
# as an empty reply and a certificate with another name must fail uploads.
#   fleet_test.sh COLLECTOR FLEET FOLDER
set -eu
collector=$1 fleet=$2 dir=$3
rm -rf "$dir"
mkdir -p "$dir"
pid=
trap '[ -z "$pid" ] || { kill "$pid"; wait "$pid" || true; }' EXIT
fail() { echo "fleet test: $*" >&2; exit 1; }
# A number from one line of JSON, by its key (the keys checked are unique).
field() { sed -n "s/.*\"$1\":\([0-9]*\).*/\1/p" <<<"$2"; }

# Many uploads from one address in a moment: no per-address rate limit.
"$collector" --state "$dir/collector" --port 0 --test-mode --control-port 0 --rate-limit 0 >"$dir/collector.log" 2>&1 &
pid=$!
for _ in $(seq 200); do [ -s "$dir/collector/ports.json" ] && break; sleep 0.05; done
port=$(field https "$(cat "$dir/collector/ports.json" 2>/dev/null)")
control=$(field control "$(cat "$dir/collector/ports.json" 2>/dev/null)")
[ -n "$port" ] || fail "the collector did not start: $(cat "$dir/collector.log")"
url="https://127.0.0.1:$port"
ca="$dir/collector/ca.pem"

# Refused before anything is sent: exit 2 and a reason.
for args in "--url https://192.168.1.1:$port --ca $ca --uploads 1" \
            "--url https://127.0.0.1.example.com:$port --ca $ca --uploads 1" \
            "--url http://127.0.0.1:$port --ca $ca --uploads 1" \
            "--url $url --ca $ca" \
            "--url $url --ca $ca --seconds 601" \
            "--url $url --ca $ca --uploads 1 --events-per-upload 501" \
            "--url $url --ca $dir/missing.pem --uploads 1"; do
    status=0
    "$fleet" $args >/dev/null 2>"$dir/refused.txt" || status=$?
    [ "$status" = 2 ] && [ -s "$dir/refused.txt" ] || fail "not refused (exit $status): $args"
done

run=$("$fleet" --url "$url" --ca "$ca" --uploads 40 --events-per-upload 5 --installations 7 \
    --concurrency 4 --resend-fraction 0.3 --install-ids --seed 7) || fail "run failed: $run"
# Beside held connections and after a small header flood, which the
# collector refuses (431) and counts as requests.
run2=$("$fleet" --url "$url" --ca "$ca" --uploads 10 --events-per-upload 3 --new-connections \
    --concurrency 2 --idle 2 --trickle 1 --header-flood-mib 2) || fail "second run failed: $run2"
# Bash's own /dev/tcp: a fresh machine has libcurl but not the curl program.
stats=$(
    exec 3<>"/dev/tcp/127.0.0.1/$control" &&
        printf 'GET /stats HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' >&3 &&
        sed '1,/^\r$/d' <&3
)

resends=$(field resends "$run")
[ "$(field uploads "$run")" = 40 ] && [ "$(field uploads_ok "$run")" = 40 ] &&
    [ "$(field 200 "$run")" = 40 ] || fail "not every upload answered 200: $run"
[ "$resends" -gt 0 ] && [ "$(field duplicates "$run")" = "$resends" ] ||
    fail "resends are not all duplicates: $run"
[ "$(field accepted "$run")" = $((40 - resends)) ] || fail "new batches: $run"
[ "$(field connections_opened "$run2")" = 10 ] || fail "not one connection per upload: $run2"
[ "$(field idle_open_at_start "$run2")" = 2 ] && [ "$(field trickle_open_at_start "$run2")" = 1 ] ||
    fail "held connections: $run2"

# A flooded connection may lose its 431 to the reset that closing on unread
# bytes sends, so what proves the flood arrived is the collector's count.
# Refused: the two flooded heads, and the trickled head if the collector
# logged it when the tool hung up.
refused=$(field refused "$stats")
[ "$refused" -ge 2 ] && [ "$(field requests "$stats")" = $((50 + refused)) ] ||
    fail "collector requests: $stats"
[ "$(field batches_stored "$stats")" = $((40 - resends + 10)) ] || fail "stored batches: $stats vs $run"
[ "$(field duplicates "$stats")" = "$resends" ] || fail "stored duplicates: $stats vs $run"
[ "$(field events "$stats")" = $(((40 - resends) * 5 + 30)) ] || fail "stored events: $stats vs $run"
# The tool's own client: a connection the server cuts without an answer is
# an empty reply (it was once taken for a reset), and a certificate with
# another name fails every upload.
control() {
    exec 3<>"/dev/tcp/127.0.0.1/$control" &&
        printf 'POST /control HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n%s' \
            "${#1}" "$1" >&3 && cat <&3 >/dev/null
}
control '{"drop":1}'
run3=$("$fleet" --url "$url" --ca "$ca" --uploads 3 --concurrency 1 --new-connections) ||
    fail "dropped run failed: $run3"
[ "$(field curl_52 "$run3")" = 1 ] && [ "$(field 200 "$run3")" = 2 ] || fail "dropped: $run3"
control '{"cert":"wrong-name"}'
status=0
run4=$("$fleet" --url "$url" --ca "$ca" --uploads 2 --new-connections 2>/dev/null) || status=$?
[ "$status" = 1 ] && [ "$(field curl_60 "$run4")" = 2 ] || fail "wrong name accepted: $run4"
echo "fleet test: 50 uploads, $resends resends, counts match the collector's"
