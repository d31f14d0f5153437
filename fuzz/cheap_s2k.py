#!/usr/bin/env python3
"""Rewrites fuzz seeds so that their passphrase-derived keys (iterated and salted S2K) take the
smallest iteration count (1024 bytes hashed) instead of millions: secret key packets protected
with a known passphrase are decrypted and protected again, and passphrase-encrypted messages
(a symmetric-key encrypted session key with its integrity-protected data) are encrypted again.
What the seed holds stays the same; only the hashing that every run of it pays goes. Without it
a fuzz target spends most of its time in S2K hashing of its seeds rather than in the code it is
meant to reach.

Usage: cheap_s2k.py [--skip N] [--old OLD] PASSPHRASE FILE...
Rewrites the files in place; --skip keeps the first N bytes (a mode byte), --old gives the
passphrase the seeds were made with when it is not the one the fuzz target uses (the messages
are then encrypted again for PASSPHRASE, so that the target opens them).
"""
import base64
import hashlib
import sys

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

CHEAP_COUNT = 0x00  # 16 << 6 = 1024 bytes

HASHES = {1: "md5", 2: "sha1", 3: "ripemd160", 8: "sha256", 9: "sha384", 10: "sha512",
          11: "sha224"}
CIPHERS = {3: (algorithms.CAST5, 16, 8), 7: (algorithms.AES, 16, 16),
           8: (algorithms.AES, 24, 16), 9: (algorithms.AES, 32, 16)}


def decode_count(c):
    return (16 + (c & 15)) << ((c >> 4) + 6)


def s2k(hash_alg, salt, passphrase, count, key_length):
    material = salt + passphrase
    total = max(count, len(material))
    key = b""
    prefix = 0
    while len(key) < key_length:
        h = hashlib.new(HASHES[hash_alg])
        h.update(b"\0" * prefix)
        full, rest = divmod(total, len(material))
        h.update(material * full + material[:rest])
        key += h.digest()
        prefix += 1
    return key[:key_length]


def cfb(cipher_alg, key, iv, data, decrypt):
    algorithm, _, block = CIPHERS[cipher_alg]
    c = Cipher(algorithm(key), modes.CFB(iv or b"\0" * block))
    op = c.decryptor() if decrypt else c.encryptor()
    return op.update(data) + op.finalize()


def packets(data):
    """(header start, body start, body end, tag) of each packet."""
    at = 0
    while at < len(data):
        first = data[at]
        if first & 0x40:
            tag = first & 0x3F
            l0 = data[at + 1]
            if l0 < 192:
                length, header = l0, 2
            elif l0 < 224:
                length, header = ((l0 - 192) << 8) + data[at + 2] + 192, 3
            elif l0 == 255:
                length, header = int.from_bytes(data[at + 2:at + 6], "big"), 6
            else:
                raise ValueError("partial lengths are not rewritten")
        else:
            tag = (first >> 2) & 15
            size = {0: 1, 1: 2, 2: 4}[first & 3]
            length, header = int.from_bytes(data[at + 1:at + 1 + size], "big"), 1 + size
        yield at, at + header, at + header + length, tag
        at += header + length


def mpi_end(body, at, count):
    for _ in range(count):
        bits = int.from_bytes(body[at:at + 2], "big")
        at += 2 + (bits + 7) // 8
    return at


PUBLIC_MPIS = {1: 2, 2: 2, 3: 2, 16: 3, 17: 4, 20: 3}


def reprotect_secret(body, passphrase, old_passphrase):
    if body[0] != 4:
        return body
    public_end = mpi_end(body, 6, PUBLIC_MPIS[body[5]])
    usage = body[public_end]
    if usage not in (254, 255) or body[public_end + 2] != 3:
        return body
    cipher_alg, hash_alg = body[public_end + 1], body[public_end + 3]
    salt = body[public_end + 4:public_end + 12]
    count_at = public_end + 12
    _, key_length, block = CIPHERS[cipher_alg]
    iv = body[count_at + 1:count_at + 1 + block]
    encrypted = body[count_at + 1 + block:]
    old = s2k(hash_alg, salt, old_passphrase, decode_count(body[count_at]), key_length)
    plain = cfb(cipher_alg, old, iv, encrypted, True)
    check = plain[-20:] if usage == 254 else plain[-2:]
    if usage == 254 and hashlib.sha1(plain[:-20]).digest() != check:
        return body  # another passphrase: left as it is
    new = s2k(hash_alg, salt, passphrase, decode_count(CHEAP_COUNT), key_length)
    return (body[:count_at] + bytes([CHEAP_COUNT]) + iv +
            cfb(cipher_alg, new, iv, plain, False))


def rewrite_message(data, passphrase, old_passphrase):
    """A passphrase-encrypted message: the session key derived again (from the new passphrase,
    with the cheap count), the data or the encrypted session key encrypted again."""
    out = bytearray(data)
    spans = list(packets(data))
    for start, body_start, end, tag in spans:
        if tag != 3:
            continue
        body = data[body_start:end]
        if body[0] != 4 or body[2] != 3:
            continue
        cipher_alg, hash_alg, salt, count = body[1], body[3], body[4:12], body[12]
        _, key_length, block = CIPHERS[cipher_alg]
        old = s2k(hash_alg, salt, old_passphrase, decode_count(count), key_length)
        new = s2k(hash_alg, salt, passphrase, decode_count(CHEAP_COUNT), key_length)
        out[body_start + 12] = CHEAP_COUNT
        if len(body) > 13:
            # The session key is encrypted under the derived key: encrypt it again.
            esk = cfb(cipher_alg, old, None, body[13:], True)
            out[body_start + 13:end] = cfb(cipher_alg, new, None, esk, False)
            continue
        # The derived key is the session key: re-encrypt the integrity-protected data.
        for s2, b2, e2, t2 in spans:
            if t2 == 18:
                plain = cfb(cipher_alg, old, None, data[b2 + 1:e2], True)
                out[b2 + 1:e2] = cfb(cipher_alg, new, None, plain, False)
    return bytes(out)


def crc24(data):
    crc = 0xB704CE
    for byte in data:
        crc ^= byte << 16
        for _ in range(8):
            crc <<= 1
            if crc & 0x1000000:
                crc ^= 0x1864CFB
    return crc & 0xFFFFFF


def dearmor(text):
    """(label line, headers, binary) of an armoured block, or None."""
    lines = text.decode("ascii", "replace").split("\n")
    if not lines or not lines[0].startswith("-----BEGIN "):
        return None
    end = next(i for i, line in enumerate(lines) if line.startswith("-----END "))
    blank = next(i for i, line in enumerate(lines) if not line.strip())
    body = "".join(l.strip() for l in lines[blank + 1:end] if not l.startswith("="))
    return lines[0], lines[1:blank], base64.b64decode(body)


def armor(label, headers, data):
    lines = [label] + headers + [""]
    encoded = base64.b64encode(data).decode()
    lines += [encoded[i:i + 64] for i in range(0, len(encoded), 64)]
    lines.append("=" + base64.b64encode(crc24(data).to_bytes(3, "big")).decode())
    lines.append(label.replace("BEGIN", "END"))
    return ("\n".join(lines) + "\n").encode()


def main(argv):
    skip = 0
    old = None
    while argv[1] in ("--skip", "--old"):
        if argv[1] == "--skip":
            skip = int(argv[2])
        else:
            old = argv[2].encode()
        argv = argv[:1] + argv[3:]
    passphrase = argv[1].encode()
    old = old if old is not None else passphrase
    for path in argv[2:]:
        data = open(path, "rb").read()
        head, rest = data[:skip], data[skip:]
        armoured = dearmor(rest)
        if armoured is not None:
            rest = armoured[2]
        try:
            spans = list(packets(rest))
        except (ValueError, IndexError, KeyError):
            print("%s: not rewritten (no packet sequence)" % path)
            continue
        out = bytearray(rest)
        for start, body_start, end, tag in spans:
            if tag in (5, 7):
                out[body_start:end] = reprotect_secret(rest[body_start:end], passphrase, old)
        out = rewrite_message(bytes(out), passphrase, old)
        if out != rest:
            if armoured is not None:
                out = armor(armoured[0], armoured[1], bytes(out))
            open(path, "wb").write(head + out)
            print("%s: rewritten" % path)


if __name__ == "__main__":
    main(sys.argv)
