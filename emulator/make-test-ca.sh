#!/bin/sh
# Makes a throw-away CA and a server certificate for the storage-service emulator.
#   make-test-ca.sh OUTDIR
# Writes OUTDIR/ca.pem, ca-key.pem, server.pem, server-key.pem.  The server
# certificate names api.dropboxapi.com, content.dropboxapi.com, localhost and
# 127.0.0.1.  Files already present are kept (safe to run repeatedly).
set -eu
if [ $# -ne 1 ]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
out=$1
mkdir -p "$out"
cd "$out"
if [ -s ca.pem ] && [ -s ca-key.pem ] && [ -s server.pem ] && [ -s server-key.pem ]; then
    exit 0
fi
umask 077
tmp=$(mktemp -d "${TMPDIR:-/tmp}/emu-ca.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
if ! [ -s ca.pem ] || ! [ -s ca-key.pem ]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -keyout "$tmp/ca-key.pem" -out "$tmp/ca.pem" -days 3650 \
        -subj "/CN=dropbox-emulator test CA" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" >/dev/null 2>&1
    mv "$tmp/ca-key.pem" ca-key.pem
    mv "$tmp/ca.pem" ca.pem
fi
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$tmp/server-key.pem" -out "$tmp/server.csr" \
    -subj "/CN=api.dropboxapi.com" >/dev/null 2>&1
cat > "$tmp/ext.cnf" <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:api.dropboxapi.com,DNS:content.dropboxapi.com,DNS:localhost,IP:127.0.0.1
EXT
openssl x509 -req -in "$tmp/server.csr" -CA ca.pem -CAkey ca-key.pem -CAcreateserial \
    -CAserial "$tmp/ca.srl" -out "$tmp/server.pem" -days 825 -extfile "$tmp/ext.cnf" >/dev/null 2>&1
mv "$tmp/server-key.pem" server-key.pem
mv "$tmp/server.pem" server.pem
chmod 644 ca.pem server.pem
