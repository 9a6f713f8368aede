#!/usr/bin/env bash
# Makes throwaway certificates for the TLS tests in the folder given (EC P-256):
#   authority.pem                  the test authority, the one the tests trust
#   server.pem, server.key         localhost and 127.0.0.1, from the authority
#   other-name.pem, other-name.key other.invalid only, from the authority
#   unknown.pem, unknown.key       localhost and 127.0.0.1, from an authority no one trusts
#   expired.pem, expired.key       localhost and 127.0.0.1, from the authority, valid in January 2020 only
#   no-alt-name.pem, .key          CN=localhost and no subjectAltName, from the authority
#   store/                         the authority in a hashed directory, as the system keeps its own
set -euo pipefail
cd "$1"
mkdir -p issued
: > index.txt
echo 1000 > serial
cat > ca.cnf <<'CONF'
[ca]
default_ca = test_ca
[test_ca]
database = index.txt
serial = serial
new_certs_dir = issued
default_md = sha256
default_days = 30
policy = any_name
unique_subject = no
copy_extensions = none
[any_name]
commonName = supplied
[localhost]
basicConstraints = CA:FALSE
subjectAltName = DNS:localhost,IP:127.0.0.1
[other_name]
basicConstraints = CA:FALSE
subjectAltName = DNS:other.invalid
[no_alt_name]
basicConstraints = CA:FALSE
CONF

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

authority() {  # file stem, common name
  key "$1.key"
  openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 30 -subj "/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
}

leaf() {  # file stem, issuer stem, common name, extensions section, extra openssl ca options...
  local stem=$1 issuer=$2 name=$3 section=$4
  shift 4
  key "$stem.key"
  openssl req -new -key "$stem.key" -out "$stem.csr" -subj "/CN=$name"
  openssl ca -batch -notext -config ca.cnf -cert "$issuer.pem" -keyfile "$issuer.key" \
    -in "$stem.csr" -out "$stem.pem" -extensions "$section" "$@" 2>/dev/null
}

authority authority "Fax Mail Test Authority"
authority stranger "Unknown Test Authority"
leaf server authority localhost localhost
leaf other-name authority other.invalid other_name
leaf unknown stranger localhost localhost
leaf expired authority localhost localhost -startdate 20200101000000Z -enddate 20200201000000Z
leaf no-alt-name authority localhost no_alt_name
mkdir -p store
cp authority.pem store/
openssl rehash store
