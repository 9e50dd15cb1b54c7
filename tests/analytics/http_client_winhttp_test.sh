#!/bin/bash
# Runs the Windows HTTP client's test under Wine against tls_test_server on
# the Linux side, with a test PKI made for this run:
#   http_client_winhttp_test.sh SERVER TEST_EXE EMULATOR...
# good.pem (our CA, DNS:localhost), selfsigned.pem, wrongname.pem (our CA,
# another name) all carry leaf.key; other-ca.pem is an unrelated CA.
set -eu
server=$1 test_exe=$2
shift 2
dir=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
    rm -rf "$dir"
}
trap cleanup EXIT
cd "$dir"

ca() {
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 \
        -subj "/CN=$1" -addext basicConstraints=critical,CA:TRUE \
        -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
leaf() {
    openssl req -new -key leaf.key -subj "/CN=$2" -out "$1.csr" 2>/dev/null
    printf 'subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\n' "$2" >"$1.ext"
    openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile "$1.ext" -out "$1.pem" 2>/dev/null
}
ca ca
ca other-ca
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out leaf.key 2>/dev/null
leaf good localhost
leaf wrongname wrong.example
openssl req -x509 -key leaf.key -subj /CN=localhost -addext subjectAltName=DNS:localhost \
    -days 2 -out selfsigned.pem 2>/dev/null
openssl pkey -in leaf.key -pubout -out leaf.pub
openssl pkey -in ca.key -pubout -out other.pub
echo 'not a certificate' >garbage.pem

"$server" "$dir" good.pem:leaf.key selfsigned.pem:leaf.key wrongname.pem:leaf.key &
pid=$!
for _ in $(seq 100); do [ -s ports ] && break; sleep 0.05; done
[ -s ports ] || { echo "tls_test_server did not start" >&2; exit 1; }

# Wine sees the Linux root as drive Z:.
status=0
TALLY_TEST_TLS_DIR="Z:$dir" TALLY_TEST_PORTS="$(cat ports)" "$@" "$test_exe" || status=$?
exit "$status"
