#!/bin/sh
# Throw-away certificates for trying TLS on loopback (the tests and the benchmark), valid two
# days, EC keys without a passphrase: two CAs "ca" and "other"; "broker" (DNS:localhost and
# IP:127.0.0.1) signed by ca; "impostor" (DNS:localhost) signed by other; "client" signed by
# ca. Each NAME as NAME.pem with its key NAME.key. Usage: tls-certs.sh DIR (made anew).
set -eu
DIR=${1:?usage: tls-certs.sh DIR}
rm -rf "$DIR"
mkdir -p "$DIR"
cd "$DIR"

# new NAME CN [openssl req options...]
new() {
    n=$1 cn=$2
    shift 2
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$n.key" \
        -subj "/CN=$cn" "$@" 2>/dev/null
}
ca() { new "$1" "$1" -x509 -days 2 -out "$1.pem"; }
# sign NAME CA CN EXTENSION
sign() {
    new "$1" "$3" -out "$1.csr"
    printf '%s\n' "$4" >"$1.ext"
    openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 2 \
        -extfile "$1.ext" -out "$1.pem" 2>/dev/null
}

ca ca
ca other
sign broker ca localhost subjectAltName=DNS:localhost,IP:127.0.0.1
sign impostor other localhost subjectAltName=DNS:localhost
sign client ca tolvane extendedKeyUsage=clientAuth
# Readable by a broker node's own user, which is given copies.
chmod 644 ./*.pem ./*.key
