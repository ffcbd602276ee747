#!/usr/bin/env bash
# Makes a throw-away certificate authority and the server certificates that the local service
# and the TLS tests use:
#   ca.pem, ca.key                 the authority the tests trust
#   server.pem, server.key         for 127.0.0.1, ::1 and localhost, signed by the authority
#   expired.pem, expired.key       signed by the authority, validity entirely in the past
#   wronghost.pem, wronghost.key   signed by the authority for "wrong.example" only
#   selfsigned.pem, selfsigned.key a self-signed certificate for 127.0.0.1
#   unknownca.pem, unknownca.key   signed by a second authority that is not kept
# Usage: make-test-ca.sh DIR. Does nothing when DIR already holds every file. Several processes
# may run it at once on the same DIR: they take turns on a lock file.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 DIR" >&2
    exit 2
fi
dir=$1
names=(ca server expired wronghost selfsigned unknownca)

complete() {
    local n
    for n in "${names[@]}"; do
        [ -s "$dir/$n.pem" ] && [ -s "$dir/$n.key" ] || return 1
    done
}

complete && exit 0
mkdir -p "$dir"
exec 9>"$dir/.lock"
flock 9
complete && exit 0

work=$(mktemp -d "$dir/.make.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# A configuration of our own, so that the system's openssl.cnf changes nothing.
cat >openssl.cnf <<'EOF'
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused
[ ca_ext ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ local_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = IP:127.0.0.1, IP:::1, DNS:localhost
[ selfsigned_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
subjectAltName = IP:127.0.0.1, IP:::1, DNS:localhost
[ wronghost_ext ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:wrong.example
[ ca ]
default_ca = old
[ old ]
database = ./index.txt
serial = ./serial
new_certs_dir = ./issued
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = none
[ anything ]
commonName = supplied
EOF
export OPENSSL_CONF=$PWD/openssl.cnf

newkey() {
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null
}

authority() {  # name, common name
    newkey "$1"
    openssl req -new -x509 -key "$1.key" -subj "/CN=$2" -days 3650 -sha256 \
        -extensions ca_ext -out "$1.pem"
}

request() {  # name, common name
    newkey "$1"
    openssl req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr"
}

sign() {  # name, authority, extensions
    openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days 825 \
        -sha256 -extfile openssl.cnf -extensions "$3" -out "$1.pem" 2>/dev/null
}

authority ca "Kelo Test Authority"
authority otherca "Kelo Unknown Authority"

request server "127.0.0.1"
sign server ca local_ext

request wronghost "wrong.example"
sign wronghost ca wronghost_ext

request unknownca "127.0.0.1"
sign unknownca otherca local_ext

newkey selfsigned
openssl req -new -x509 -key selfsigned.key -subj "/CN=127.0.0.1" -days 825 -sha256 \
    -extensions selfsigned_ext -out selfsigned.pem

# The command line of x509 cannot date a certificate in the past; the ca command can.
request expired "127.0.0.1"
mkdir issued
: >index.txt
echo 1000 >serial
openssl ca -batch -notext -cert ca.pem -keyfile ca.key -in expired.csr -out expired.pem \
    -startdate 20200101000000Z -enddate 20200201000000Z -extfile openssl.cnf \
    -extensions local_ext 2>/dev/null

chmod 600 ./*.key
# The authority's certificate goes last: its presence marks a finished set.
for n in server expired wronghost selfsigned unknownca ca; do
    mv -f "$n.key" "$dir/$n.key"
    mv -f "$n.pem" "$dir/$n.pem"
done
