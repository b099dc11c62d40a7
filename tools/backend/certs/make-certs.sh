#!/usr/bin/env bash
# Regenerates the stand-in's test CA and server certificate. These are
# stand-in-only test credentials: the client's stand-in build trusts this CA and
# nothing else; no other build does. Rerun only when the names below change
# (pass --keep-ca to sign a new server certificate with the existing CA).
set -euo pipefail
cd "$(dirname "$0")"
days=7300
if [ "${1:-}" != "--keep-ca" ]; then
    openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days "$days" \
        -keyout ca.key -out ca.pem -subj "/O=Kelvra stand-in/CN=Kelvra stand-in test CA" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -addext "subjectKeyIdentifier=hash"
fi
ext=$(mktemp)
trap 'rm -f "$ext" server.csr ca.srl' EXIT
cat > "$ext" <<'EXT'
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
subjectAltName=DNS:testapi.kelvra.test,DNS:cdn1.testapi.kelvra.test,DNS:cdn2.testapi.kelvra.test,DNS:front.testapi.kelvra.test,IP:127.0.0.1,IP:127.0.0.2,IP:127.0.0.3,IP:1.1.1.1
EXT
openssl req -new -newkey rsa:2048 -nodes -sha256 -keyout server.key -out server.csr \
    -subj "/O=Kelvra stand-in/CN=testapi.kelvra.test"
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 \
    -days "$days" -extfile "$ext" -out server.pem
chmod 644 ca.pem server.pem
chmod 600 ca.key server.key
