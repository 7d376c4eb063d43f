#!/bin/bash
# The work of kesp -E done with the openssl tool: PBKDF2-HMAC-SHA256 with
# 200000 iterations over a fresh salt, AES-256-CTR over the whole file, the
# trailer, HMAC-SHA512 over everything, synced and renamed over the file.
#   openssl_encrypt.sh PASSWORD FILE
set -eu
password=$1 file=$2 out=$2.kesp
salt=$(openssl rand -hex 64)
iv=$(openssl rand -hex 16)
key=$(openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt pass:"$password" \
      -kdfopt hexsalt:"$salt" -kdfopt iter:200000 PBKDF2 | tr -d ':')
openssl enc -aes-256-ctr -K "$key" -iv "$iv" -in "$file" -out "$out"
printf 'FuI3%b' "$(printf '%s%s' "$iv" "$salt" | sed 's/../\\x&/g')" >>"$out"
openssl dgst -sha512 -mac HMAC -macopt hexkey:"$key" -binary "$out" >"$out.mac"
cat "$out.mac" >>"$out"
rm -f "$out.mac"
sync "$out"
mv "$out" "$file"
