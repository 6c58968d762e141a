#!/bin/sh
# Makes the certificate material the program carries and the test peers use.
#
#   MireltaCA.cer                the CA every phone certificate chains to (PEM)
#   Mirelta_Duvo_Connector.cer   client certificate: text dump, then its PEM block
#   Mirelta_Duvo_Connector.key   client RSA key, PEM, AES-256-CBC under the pass phrase
#   MireltaPhone.cer/.key        a phone's server certificate and key (for simulators)
#   ForeignCA.cer                an unrelated CA, and ForeignPhone.cer/.key signed by it
#
# The output is committed; run this again only to replace the whole set.
# Usage: make-certs.sh [output folder]   (default: the folder of this script)
set -eu

out=${1:-$(dirname "$0")}
pass='Dazirid@8260'
days=10958 # 30 years: tests must never see an expired certificate
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# make_ca <name> <subject>
make_ca() {
    openssl req -x509 -newkey rsa:4096 -sha256 -nodes -days "$days" \
        -keyout "$work/$1.key" -out "$work/$1.cer" -subj "$2" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}

# make_leaf <name> <ca> <subject> <extendedKeyUsage>
make_leaf() {
    openssl genrsa -out "$work/$1.key" 2048 2>/dev/null
    openssl req -new -key "$work/$1.key" -subj "$3" -out "$work/$1.csr"
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=%s\n' \
        "$4" >"$work/$1.ext"
    openssl x509 -req -in "$work/$1.csr" -CA "$work/$2.cer" -CAkey "$work/$2.key" \
        -CAcreateserial -sha256 -days "$days" -extfile "$work/$1.ext" \
        -out "$work/$1.cer" 2>/dev/null
}

make_ca ca "/C=CN/O=Mirelta/CN=Mirelta Root CA"
make_leaf client ca "/C=CN/O=Mirelta/CN=Mirelta Duvo Connector" clientAuth
make_leaf phone ca "/C=CN/O=Mirelta/CN=Mirelta Phone" serverAuth
make_ca foreign "/C=CN/O=Elsewhere/CN=Elsewhere Root CA"
make_leaf foreign_phone foreign "/C=CN/O=Elsewhere/CN=Elsewhere Phone" serverAuth

cp "$work/ca.cer" "$out/MireltaCA.cer"
# The dump first, then the PEM block: PEM readers skip the text before it.
openssl x509 -in "$work/client.cer" -text -noout >"$out/Mirelta_Duvo_Connector.cer"
cat "$work/client.cer" >>"$out/Mirelta_Duvo_Connector.cer"
openssl rsa -in "$work/client.key" -aes256 -traditional -passout "pass:$pass" \
    -out "$out/Mirelta_Duvo_Connector.key" 2>/dev/null
cp "$work/phone.cer" "$out/MireltaPhone.cer"
cp "$work/phone.key" "$out/MireltaPhone.key"
cp "$work/foreign.cer" "$out/ForeignCA.cer"
cp "$work/foreign_phone.cer" "$out/ForeignPhone.cer"
cp "$work/foreign_phone.key" "$out/ForeignPhone.key"
