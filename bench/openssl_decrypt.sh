#!/bin/bash
# The work of kesp -D done with the openssl tool: the trailer read, the key
# derived from its salt, HMAC-SHA512 checked over everything but the MAC,
# then AES-256-CTR over the ciphertext, synced and renamed over the file.
#   openssl_decrypt.sh PASSWORD FILE
set -eu
password=$1 file=$2 out=$2.plain
size=$(stat -c %s "$file")
trailer=$(tail -c 148 "$file" | od -An -v -tx1 | tr -d ' \n')
iv=${trailer:8:32} salt=${trailer:40:128} mac=${trailer:168:128}
key=$(openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt pass:"$password" \
      -kdfopt hexsalt:"$salt" -kdfopt iter:200000 PBKDF2 | tr -d ':' | tr 'A-F' 'a-f')
computed=$(head -c $((size - 64)) "$file" |
           openssl dgst -sha512 -mac HMAC -macopt hexkey:"$key" -r | cut -d' ' -f1)
[ "$computed" = "$mac" ] || { echo "Invalid password or tampered data." >&2; exit 1; }
head -c $((size - 148)) "$file" | openssl enc -d -aes-256-ctr -K "$key" -iv "$iv" -out "$out"
sync "$out"
mv "$out" "$file"
