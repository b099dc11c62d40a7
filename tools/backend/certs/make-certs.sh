#!/usr/bin/env bash
# Regenerates the stand-in's test CA and server certificate. These are
# stand-in-only test credentials: the client's stand-in build trusts this CA and
# nothing else; no other build does. Rerun only when the names below change
# (pass --keep-ca to sign a new server certificate with the existing CA).
# The three certificates a misbehaving host presents are made at the end:
# one for another name, one that expired, one from an authority the client
# does not know. They share the server's key; --faults makes only these.
set -euo pipefail
cd "$(dirname "$0")"
days=7300
mode=${1:-}
if [ "$mode" != "--keep-ca" ] && [ "$mode" != "--faults" ]; then
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
if [ "$mode" != "--faults" ]; then
    openssl req -new -newkey rsa:2048 -nodes -sha256 -keyout server.key -out server.csr \
        -subj "/O=Kelvra stand-in/CN=testapi.kelvra.test"
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 \
        -days "$days" -extfile "$ext" -out server.pem
fi

# For another host only.
sed -e 's/^subjectAltName=.*/subjectAltName=DNS:elsewhere.kelvra.test/' "$ext" > "$ext.other"
openssl req -new -key server.key -sha256 -out server.csr -subj "/O=Kelvra stand-in/CN=elsewhere.kelvra.test"
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 \
    -days "$days" -extfile "$ext.other" -out wrong-name.pem
rm -f "$ext.other"
# The right names, but valid only for a day in 2020 (signed at that time through libfaketime).
openssl req -new -key server.key -sha256 -out server.csr -subj "/O=Kelvra stand-in/CN=testapi.kelvra.test"
LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1 FAKETIME="@2020-01-01 00:00:00" \
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 \
    -days 1 -extfile "$ext" -out expired.pem
# The right names, from a throw-away authority whose key is not kept.
other=$(mktemp -d)
openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days "$days" \
    -keyout "$other/ca.key" -out "$other/ca.pem" -subj "/O=Somebody else/CN=Unknown test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
openssl x509 -req -in server.csr -CA "$other/ca.pem" -CAkey "$other/ca.key" -CAcreateserial -sha256 \
    -days "$days" -extfile "$ext" -out unknown-authority.pem
rm -rf "$other"
chmod 644 ca.pem server.pem wrong-name.pem expired.pem unknown-authority.pem
chmod 600 ca.key server.key
