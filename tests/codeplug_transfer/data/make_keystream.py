#!/usr/bin/env python3
"""Regenerates the scrambler's known-answer data in this folder.

Every keystream byte comes from the OpenSSL command line, one DES block at a
time, so the data does not depend on the updater's own DES code:

    printf '<register as 16 hex digits>' | xxd -r -p |
        openssl enc -des-ecb -K 4b234b234b234b23 -nopad \
            -provider legacy -provider default | xxd -p

4b234b234b234b23 is the key text "K#K#K#K#". The first byte of each result
is the keystream byte; the register then drops its first byte and takes the
keystream byte as its last (8-bit output feedback).

Output per identifier, file keystream-<IDENTIFIER>.txt:
    line 1: the identifier (16 hex digits)
    line 2: the first 64 keystream bytes, hex, blank separated
    line 3: block 0 plain   (128 bytes: byte i = i * 7 + 3, mod 256)
    line 4: block 0 as sent
    line 5: block 1 plain   (128 bytes: byte i = 0xFF - i)
    line 6: block 1 as sent
The "as sent" lines apply the block masking by hand: the first word is
swapped to low byte first and XORed with keystream bytes k1, k2; every later
word is XORed with the masked first word M (high byte = new byte 1, low
byte = new byte 0) and written low byte first.

Run from this folder:  python3 make_keystream.py
"""
import subprocess

IDENTIFIERS = ["0123456789ABCDEF", "A5F00D1234C0FFEE"]
KEY = "4b234b234b234b23"
COUNT = 64


def des_block(register: bytes) -> bytes:
    out = subprocess.run(
        ["openssl", "enc", "-des-ecb", "-K", KEY, "-nopad",
         "-provider", "legacy", "-provider", "default"],
        input=register, capture_output=True, check=True).stdout
    assert len(out) == 8
    return out


def keystream(identifier: str, count: int) -> list:
    register = bytes.fromhex(identifier)
    result = []
    for _ in range(count):
        k = des_block(register)[0]
        result.append(k)
        register = register[1:] + bytes([k])
    return result


def mask(block: list, k1: int, k2: int) -> list:
    h, l = block[0], block[1]
    out = [0] * 128
    out[0] = l ^ k1
    out[1] = h ^ k2
    m = (out[1] << 8) | out[0]
    for i in range(2, 128, 2):
        w = ((block[i] << 8) | block[i + 1]) ^ m
        out[i] = w & 0xFF
        out[i + 1] = w >> 8
    return out


def hexline(values) -> str:
    return " ".join("%02X" % v for v in values)


def main():
    for identifier in IDENTIFIERS:
        ks = keystream(identifier, COUNT)
        plain0 = [(i * 7 + 3) & 0xFF for i in range(128)]
        plain1 = [0xFF - i for i in range(128)]
        lines = [identifier, hexline(ks),
                 hexline(plain0), hexline(mask(plain0, ks[0], ks[1])),
                 hexline(plain1), hexline(mask(plain1, ks[2], ks[3]))]
        with open("keystream-%s.txt" % identifier, "w") as f:
            f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
