#!/usr/bin/env bash
# make-certs.sh STATE_DIR: a local CA and the certificates the TLS tests
# need, in STATE_DIR/certs (made once per state folder). Writes certs.env.
source "$(dirname "$0")/lib.sh"
state_init "${1:-}"

dir=$STATE/certs
if [ -s "$STATE/certs.env" ]; then
  exit 0
fi
rm -rf "$dir"
mkdir -p "$dir/ca"
cd "$dir"
log=$STATE/logs/certs.log

cat >ca/openssl.cnf <<EOF
[ ca ]
default_ca = qmca
[ qmca ]
dir = $dir/ca
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
certificate = $dir/ca.crt
private_key = $dir/ca.key
default_md = sha256
default_days = 3650
policy = anything
copy_extensions = none
unique_subject = no
[ anything ]
commonName = supplied
organizationName = optional
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused
[ v3_ca ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ v3_localhost ]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1
[ v3_other ]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.example.test
[ v3_client ]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = clientAuth
EOF
: >ca/index.txt
echo 1000 >ca/serial

run() { "$@" >>"$log" 2>&1 || { show_log "$log"; die "failed: $*"; }; }
cnf=ca/openssl.cnf
newkey() { run openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1"; chmod 644 "$1"; }
# sign NAME CN EXT [START END]: a certificate for NAME.key signed by the CA.
sign() {
  local name=$1 cn=$2 ext=$3
  shift 3
  local dates=(-days 3650)
  [ $# -eq 2 ] && dates=(-startdate "$1" -enddate "$2")
  run openssl req -new -config "$cnf" -key "$name.key" -subj "/O=Quillmark Tests/CN=$cn" -out "$name.csr"
  run openssl ca -batch -config "$cnf" -extensions "$ext" -notext "${dates[@]}" -in "$name.csr" -out "$name.crt"
  rm -f "$name.csr"
}

newkey ca.key
run openssl req -new -x509 -config "$cnf" -extensions v3_ca -key ca.key -days 3650 \
  -subj "/O=Quillmark Tests/CN=Quillmark Test CA" -out ca.crt

# The server certificates share one key: only their names and dates differ.
newkey server.key
for n in localhost expired otherhost; do cp server.key $n.key; done
sign localhost localhost v3_localhost
sign expired localhost v3_localhost 20200101000000Z 20210101000000Z
sign otherhost other.example.test v3_other
cp server.key selfsigned.key
run openssl req -new -x509 -config "$cnf" -extensions v3_localhost -key selfsigned.key -days 3650 \
  -subj "/O=Quillmark Tests/CN=localhost" -out selfsigned.crt

newkey client.key
sign client "Quillmark Test Client" v3_client
p12pass=qmclient
run openssl pkcs12 -export -in client.crt -inkey client.key -certfile ca.crt \
  -name "Quillmark Test Client" -passout "pass:$p12pass" -out client.p12
run openssl pkcs12 -export -in client.crt -inkey client.key -certfile ca.crt \
  -name "Quillmark Test Client" -passout pass: -out client-nopass.p12
chmod 644 ./*.crt ./*.p12

# Servers keep certificate and key in one file.
for n in localhost expired otherhost selfsigned; do cat $n.crt $n.key >$n.pem; done

env_write certs \
  "CERT_DIR=$dir" \
  "CA_CERT=$dir/ca.crt" \
  "CA_KEY=$dir/ca.key" \
  "LOCALHOST_CERT=$dir/localhost.crt" \
  "LOCALHOST_KEY=$dir/localhost.key" \
  "EXPIRED_CERT=$dir/expired.crt" \
  "EXPIRED_KEY=$dir/expired.key" \
  "OTHERHOST_CERT=$dir/otherhost.crt" \
  "OTHERHOST_KEY=$dir/otherhost.key" \
  "OTHERHOST_NAME=other.example.test" \
  "SELFSIGNED_CERT=$dir/selfsigned.crt" \
  "SELFSIGNED_KEY=$dir/selfsigned.key" \
  "CLIENT_CERT=$dir/client.crt" \
  "CLIENT_KEY=$dir/client.key" \
  "CLIENT_P12=$dir/client.p12" \
  "CLIENT_P12_PASSWORD=$p12pass" \
  "CLIENT_P12_NOPASS=$dir/client-nopass.p12" \
  "CLIENT_CN=Quillmark Test Client"
