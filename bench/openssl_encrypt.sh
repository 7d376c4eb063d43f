#!/bin/bash
# The work of kesp -E done with the openssl tool, in four steps: PBKDF2-HMAC-
# SHA256 with 200000 iterations (openssl kdf), AES-256-CTR over the file
# (openssl enc), HMAC-SHA512 over ciphertext and trailer (openssl dgst),
# sync; then the rename over the file. The caller makes the salt and the IV,
# so that no extra process is timed; the trailer and the MAC are appended by
# shell builtins.
#   openssl_encrypt.sh PASSWORD FILE SALT_HEX IV_HEX
set -eu
password=$1 file=$2 salt=$3 iv=$4 out=$2.kesp
# Hex to the \xHH escapes of printf, without a process.
escapes() {
    local hex=$1 i s=
    for ((i = 0; i < ${#hex}; i += 2)); do s+="\\x${hex:i:2}"; done
    printf '%s' "$s"
}
key=$(openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt pass:"$password" \
      -kdfopt hexsalt:"$salt" -kdfopt iter:200000 PBKDF2)
key=${key//:/}
openssl enc -aes-256-ctr -K "$key" -iv "$iv" -in "$file" -out "$out"
printf "FuI3$(escapes "$iv$salt")" >>"$out"
mac=$(openssl dgst -sha512 -mac HMAC -macopt hexkey:"$key" -r "$out")
printf "$(escapes "${mac%% *}")" >>"$out"
sync "$out"
mv "$out" "$file"
