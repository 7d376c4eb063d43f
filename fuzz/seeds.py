#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

The container seeds are real containers, built here with hashlib, hmac and
the openssl tool. Those of the raw-file target are under another password
than the one the target tries, which must never open them.
"""
import hashlib
import hmac
import os
import sqlite3
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
OTHER_PASSWORD = b"not the fuzz password"
SCHEMA = ("create table entries(id integer primary key, title text, user text, url text,"
          "password text, notes text,timestamp date default (datetime('now','localtime')));")


def seed(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def small_database():
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "v.db")
        db = sqlite3.connect(path)
        db.execute(SCHEMA)
        db.execute("insert into entries(title,user,url,password,notes,timestamp) "
                   "values('mail','me','mail.example','pw','n','2024-01-01 10:00:00')")
        db.commit()
        db.close()
        with open(path, "rb") as f:
            return f.read()


def aes_ctr(key, iv, data):
    if not data:
        return b""
    return subprocess.run(["openssl", "enc", "-aes-256-ctr", "-K", key.hex(), "-iv", iv.hex()],
                          input=data, capture_output=True, check=True).stdout


def container(plain, iv, salt, password=OTHER_PASSWORD):
    key = hashlib.pbkdf2_hmac("sha256", password, salt, 200000, 32)
    body = aes_ctr(key, iv, plain) + b"FuI3" + iv + salt
    return body + hmac.new(key, body, hashlib.sha512).digest()


def main():
    db = small_database()
    iv = bytes(range(16))
    salt = bytes((i * 37 + 11) % 256 for i in range(64))  # the MAC target's salt

    target = "fuzz_container_file"
    seed(target, "empty_container", container(b"", iv, salt))
    seed(target, "database_container", container(db, iv, salt))
    seed(target, "plain_database", db)
    seed(target, "magic_only", b"FuI3")
    seed(target, "magic_and_zeros", b"FuI3" + bytes(144))

    # [mode][parameter][IV][plain text]: intact, flipped bit, cut, lengthened,
    # wrong password, leftovers of an earlier run.
    target = "fuzz_container_mac"
    for mode in range(6):
        seed(target, "mode%d_database" % mode, bytes([mode, 3]) + iv + db[:512])
    seed(target, "mode0_empty", bytes([0, 0]) + iv)

    # [selector][bytes]: even selector = visible fields, odd = secret.
    target = "fuzz_console"
    seed(target, "fields", b"\0title\nuser\nhttps://url\nnotes\n")
    seed(target, "fields_long_line", b"\0" + b"a" * 1500 + b"\nrest\n")
    seed(target, "fields_empty_lines", b"\0\n\n\n\n")
    seed(target, "fields_nul", b"\0ab\0cd\nx\n")
    seed(target, "secret", b"\x01abc")
    seed(target, "secret_blanks", b"\x01   ")
    seed(target, "secret_empty", b"\x01")
    seed(target, "secret_1023", b"\x01" + b"k" * 1023)
    seed(target, "secret_1024", b"\x01" + b"k" * 1024)


if __name__ == "__main__":
    main()
