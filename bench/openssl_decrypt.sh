#!/bin/bash
# The work of kesp -D done with the openssl tool, in four steps: PBKDF2-HMAC-
# SHA256 over the container's salt (openssl kdf), HMAC-SHA512 over
# everything but the MAC, checked (openssl dgst), AES-256-CTR over the
# ciphertext (openssl enc), sync; then the rename over the file. The caller
# passes the trailer's salt, IV and MAC, as kesp reads them from the file;
# head cuts the file to the bytes each step covers, streaming beside it.
#   openssl_decrypt.sh PASSWORD FILE SALT_HEX IV_HEX MAC_HEX
set -eu
password=$1 file=$2 salt=$3 iv=$4 mac=$5 out=$2.plain
size=$(stat -c %s "$file")
key=$(openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt pass:"$password" \
      -kdfopt hexsalt:"$salt" -kdfopt iter:200000 PBKDF2)
key=${key//:/}
computed=$(head -c $((size - 64)) "$file" |
           openssl dgst -sha512 -mac HMAC -macopt hexkey:"$key" -r)
[ "${computed%% *}" = "$mac" ] || { echo "Invalid password or tampered data." >&2; exit 1; }
head -c $((size - 148)) "$file" | openssl enc -d -aes-256-ctr -K "$key" -iv "$iv" -out "$out"
sync "$out"
mv "$out" "$file"
