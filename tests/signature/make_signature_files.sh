#!/usr/bin/env bash
# Makes the signature check's cases as files, with the openssl command line and the development
# certificates: guard files and detached signatures of them by signers the check must accept or refuse
# each in its own way. Both builds judge the same files (signature_files_test.cpp).
# Usage: make_signature_files.sh CERTS_DIR OUT_DIR   (OPENSSL names the program, by default openssl)
set -euo pipefail
openssl() { command "${OPENSSL:-openssl}" "$@"; }
certs=$1
out=$2
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/ca.cnf" <<CNF
[ca]
default_ca = ca_section
[ca_section]
database = $work/index.txt
serial = $work/serial
new_certs_dir = $work
default_md = sha256
policy = any
copy_extensions = none
unique_subject = no
[any]
organizationName = optional
organizationalUnitName = optional
commonName = supplied
[signer]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning, emailProtection
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[intermediate]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[root]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CNF
: > "$work/index.txt"
echo 1000 > "$work/serial"

key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/$1.key" 2>/dev/null; }

# issue NAME ISSUER SUBJECT EXTENSIONS [START END]: a certificate of a new key, issued by ISSUER.
issue() {
  key "$1"
  openssl req -new -key "$work/$1.key" -subj "$3" -out "$work/$1.csr"
  local dates=(-days 3650)
  if [ $# -ge 6 ]; then dates=(-startdate "$5" -enddate "$6"); fi
  openssl ca -batch -config "$work/ca.cnf" -cert "$4.pem" -keyfile "$4.key" -extensions "$2" \
    "${dates[@]}" -in "$work/$1.csr" -out "$work/$1.pem" -notext 2>/dev/null
}

signer_subject() { echo "/O=Quillon Development/OU=$1/CN=KRELL Test Signer"; }
unit="Product Group - Fetchwell"
dev=$certs/dev-root
untrusted=$certs/untrusted-root

issue signer signer "$(signer_subject "$unit")" "$dev"
issue no_unit signer "/O=Quillon Development/CN=KRELL Test Signer" "$dev"
issue other_unit signer "$(signer_subject "Product Group - Elsewhere")" "$dev"
issue expired signer "$(signer_subject "$unit")" "$dev" 20200101000000Z 20200201000000Z
issue not_yet_valid signer "$(signer_subject "$unit")" "$dev" 20900101000000Z 20910101000000Z
issue intermediate intermediate "/O=Quillon Development/CN=KRELL Test Intermediate" "$dev"
issue under_intermediate signer "$(signer_subject "$unit")" "$work/intermediate"
issue other_root_signer signer "$(signer_subject "$unit")" "$untrusted"
# A root that takes the development root's name, with a key of its own.
key forged_root
openssl req -new -x509 -key "$work/forged_root.key" -subj "/O=Quillon Development/CN=KRELL Development Root CA" \
  -days 3650 -sha256 -config "$work/ca.cnf" -extensions root -out "$work/forged_root.pem"

printf 'KRELLGUARD 1\nguards test\nda39a3ee5e6b4b0d3255bfef95601890afd80709 test.gwm\n' > "$out/guard"
printf 'KRELLGUARD 1\nguards test\nda39a3ee5e6b4b0d3255bfef95601890afd80708 test.gwm\n' > "$out/guard_changed"
printf 'not a guard file\n' > "$out/not_a_guard"

# sign OUT CERT KEY [openssl cms options...]: a detached signature of the guard file.
sign() {
  local name=$1 cert=$2 keyfile=$3
  shift 3
  openssl cms -sign -binary -md sha256 -in "${IN:-$out/guard}" -signer "$cert" -inkey "$keyfile" \
    -outform DER -out "$out/$name.sig" "$@"
}
sign dev_signer "$certs/dev-signer.pem" "$certs/dev-signer.key"
sign signer "$work/signer.pem" "$work/signer.key"
sign under_intermediate "$work/under_intermediate.pem" "$work/under_intermediate.key" -certfile "$work/intermediate.pem"
sign intermediate_missing "$work/under_intermediate.pem" "$work/under_intermediate.key"
sign other_root "$work/other_root_signer.pem" "$work/other_root_signer.key"
sign other_root_with_root "$work/other_root_signer.pem" "$work/other_root_signer.key" -certfile "$untrusted.pem"
sign forged_root "$work/forged_root.pem" "$work/forged_root.key"
sign no_unit "$work/no_unit.pem" "$work/no_unit.key"
sign other_unit "$work/other_unit.pem" "$work/other_unit.key"
sign expired "$work/expired.pem" "$work/expired.key"
sign not_yet_valid "$work/not_yet_valid.pem" "$work/not_yet_valid.key"
sign attached "$work/signer.pem" "$work/signer.key" -nodetach
IN=$out/not_a_guard sign not_a_guard "$work/signer.pem" "$work/signer.key"
