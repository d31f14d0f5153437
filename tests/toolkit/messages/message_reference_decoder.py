#!/usr/bin/env python3
"""A second reader of RFC 4880 messages, kept apart from the toolkit's own code.

The message tests hand it what the toolkit wrote and compare its report with what they expect.
It shares nothing with the toolkit: packets, armour, the cleartext framework, session keys,
ciphers, compression and signatures are decoded here from the format's rules, with the Python
standard library and the `cryptography` package for the primitives (ElGamal by plain modular
arithmetic, which `cryptography` does not offer).

Usage:
    message_reference_decoder.py [--key FILE[:PASSPHRASE]]... [--passphrase TEXT]
                                 [--signed-data FILE] [--output FILE] MESSAGE
    message_reference_decoder.py --jobs FILE

Keys are transferable keys in binary packets (public or secret). The report is one JSON object
on standard output: the packet layout, how the session key was found, the MDC verdict, the
literal packet's fields, a SHA-256 of the literal data and each signature's verdict. The exit
status is 0 when the message could be read to the end, 1 otherwise (the report then says why).
"""

import base64
import bz2
import hashlib
import json
import struct
import sys
import warnings
import zlib

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import dsa, ec, ed25519, padding, rsa, x25519
from cryptography.hazmat.primitives.asymmetric.utils import (Prehashed,
                                                             encode_dss_signature)
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.keywrap import aes_key_unwrap

try:  # newer releases keep the old ciphers apart
    from cryptography.hazmat.decrepit.ciphers import algorithms as old_algorithms
except ImportError:  # pragma: no cover - Debian 12's release has them in the main module
    old_algorithms = algorithms


class Failure(Exception):
    """The message cannot be read further; the text says why."""


# ---- tables ----

HASHES = {1: ("md5", hashes.MD5), 2: ("sha1", hashes.SHA1), 3: ("ripemd160", None),
          8: ("sha256", hashes.SHA256), 9: ("sha384", hashes.SHA384),
          10: ("sha512", hashes.SHA512), 11: ("sha224", hashes.SHA224)}


def new_hash(alg):
    if alg not in HASHES:
        raise Failure("unknown hash %d" % alg)
    return hashlib.new(HASHES[alg][0])


def cipher_of(alg):
    """(key length, block length, factory(key) -> cryptography algorithm) or None."""
    table = {
        1: (16, 8, lambda k: old_algorithms.IDEA(k)),
        2: (24, 8, lambda k: old_algorithms.TripleDES(k)),
        3: (16, 8, lambda k: old_algorithms.CAST5(k)),
        4: (16, 8, lambda k: old_algorithms.Blowfish(k)),
        7: (16, 16, lambda k: algorithms.AES(k)),
        8: (24, 16, lambda k: algorithms.AES(k)),
        9: (32, 16, lambda k: algorithms.AES(k)),
    }
    return table.get(alg)


CURVES = {
    bytes.fromhex("2a8648ce3d030107"): ("p256", ec.SECP256R1),
    bytes.fromhex("2b81040022"): ("p384", ec.SECP384R1),
    bytes.fromhex("2b81040023"): ("p521", ec.SECP521R1),
    bytes.fromhex("2b060104019755010501"): ("cv25519", None),
    bytes.fromhex("2b06010401da470f01"): ("ed25519", None),
}


def ecb_block(alg, key, block):
    info = cipher_of(alg)
    enc = Cipher(info[2](key), modes.ECB()).encryptor()
    return enc.update(block) + enc.finalize()


def cfb(alg, key, iv, data, decrypt=True):
    """Plain full-block CFB, built from single-block encryptions so that every cipher works."""
    bs = cipher_of(alg)[1]
    out = bytearray()
    reg = bytes(iv)
    for i in range(0, len(data), bs):
        chunk = data[i:i + bs]
        ks = ecb_block(alg, key, reg)
        res = bytes(a ^ b for a, b in zip(chunk, ks))
        out += res
        reg = (chunk if decrypt else res) if len(chunk) == bs else reg
    return bytes(out)


def fast_cfb_decrypt(alg, key, iv, data):
    """CFB decryption through the package's own mode where it has one (AES, 3DES, CAST5, ...)."""
    info = cipher_of(alg)
    full = len(data) - len(data) % info[1]
    try:
        dec = Cipher(info[2](key), modes.CFB(iv)).decryptor()
        return dec.update(data) + dec.finalize()
    except Exception:  # a cipher without a CFB mode in this release
        return cfb(alg, key, iv, data[:full]) + cfb(alg, key, iv, data)[full:]


# ---- packets ----

def mpi(buf, pos):
    if pos + 2 > len(buf):
        raise Failure("MPI header past the end")
    bits = struct.unpack(">H", buf[pos:pos + 2])[0]
    n = (bits + 7) // 8
    if pos + 2 + n > len(buf):
        raise Failure("MPI past the end")
    return int.from_bytes(buf[pos + 2:pos + 2 + n], "big"), buf[pos + 2:pos + 2 + n], pos + 2 + n


def read_packets(data):
    """List of (tag, body, header description) of a packet sequence held in memory."""
    out = []
    pos = 0
    while pos < len(data):
        ctb = data[pos]
        if not ctb & 0x80:
            raise Failure("not a packet header at %d" % pos)
        pos += 1
        if ctb & 0x40:
            tag = ctb & 0x3F
            body = bytearray()
            form = "new"
            while True:
                if pos >= len(data):
                    raise Failure("truncated length")
                b0 = data[pos]
                if b0 < 192:
                    ln, pos = b0, pos + 1
                    partial = False
                elif b0 < 224:
                    if pos + 2 > len(data):
                        raise Failure("truncated length")
                    ln, pos = ((b0 - 192) << 8) + data[pos + 1] + 192, pos + 2
                    partial = False
                elif b0 == 255:
                    if pos + 5 > len(data):
                        raise Failure("truncated length")
                    ln, pos = struct.unpack(">I", data[pos + 1:pos + 5])[0], pos + 5
                    partial = False
                else:
                    ln, pos = 1 << (b0 & 0x1F), pos + 1
                    partial = True
                    form = "new-partial"
                if pos + ln > len(data):
                    raise Failure("truncated")
                body += data[pos:pos + ln]
                pos += ln
                if not partial:
                    break
            out.append((tag, bytes(body), form))
        else:
            tag = (ctb >> 2) & 0x0F
            lt = ctb & 3
            if lt == 3:
                out.append((tag, bytes(data[pos:]), "old-indeterminate"))
                pos = len(data)
                continue
            n = (1, 2, 4)[lt]
            if pos + n > len(data):
                raise Failure("truncated length")
            ln = int.from_bytes(data[pos:pos + n], "big")
            pos += n
            if pos + ln > len(data):
                raise Failure("truncated")
            out.append((tag, bytes(data[pos:pos + ln]), "old"))
            pos += ln
    return out


# ---- armour and the cleartext framework ----

def crc24_table():
    table = []
    for i in range(256):
        crc = i << 16
        for _ in range(8):
            crc <<= 1
            if crc & 0x1000000:
                crc ^= 0x1864CFB
        table.append(crc & 0xFFFFFF)
    return table


CRC24_TABLE = crc24_table()


def crc24(data):
    crc = 0xB704CE
    table = CRC24_TABLE
    for b in data:
        crc = ((crc << 8) & 0xFFFFFF) ^ table[(crc >> 16) ^ b]
    return crc


def dearmor_block(lines, i):
    """Decodes the armoured block whose BEGIN line is lines[i]; returns (label, headers, bytes)."""
    label = lines[i].strip()[len("-----BEGIN "):-5]
    i += 1
    headers = []
    while i < len(lines) and lines[i].strip() and ": " in lines[i]:
        headers.append(lines[i].strip())
        i += 1
    if i < len(lines) and not lines[i].strip():
        i += 1
    b64 = []
    checksum = None
    while i < len(lines):
        line = lines[i].strip()
        i += 1
        if line.startswith("-----END "):
            if line != "-----END %s-----" % label:
                raise Failure("END line does not match")
            break
        if line.startswith("=") and len(line) == 5:
            checksum = line[1:]
            continue
        b64.append(line)
    else:
        raise Failure("no END line")
    raw = base64.b64decode("".join(b64), validate=True)
    if checksum is not None:
        want = int.from_bytes(base64.b64decode(checksum), "big")
        if want != crc24(raw):
            raise Failure("armour checksum")
    return label, headers, raw, i


def canonical_text(data):
    """Line endings made CR LF, as text signatures hash them."""
    out = bytearray()
    prev = 0
    for b in data:
        if b == 0x0A and prev != 0x0D:
            out += b"\r"
        out.append(b)
        prev = b
    return bytes(out)


def parse_input(raw, report):
    """Returns ('binary', bytes) or ('clear', text bytes, signature bytes, hash headers)."""
    if raw[:1] and raw[0] & 0x80:
        return ("binary", raw)
    text = raw.decode("latin-1")
    lines = text.split("\n")
    for i, line in enumerate(lines):
        if line.startswith("-----BEGIN ") and line.rstrip("\r").endswith("-----"):
            label = line.rstrip("\r")[len("-----BEGIN "):-5]
            report["armour_label"] = label
            if label.endswith("SIGNED MESSAGE"):
                return parse_cleartext(lines, i + 1, report)
            label, headers, data, _ = dearmor_block([l.rstrip("\r") for l in lines], i)
            report["armour_headers"] = headers
            return ("binary", data)
    raise Failure("no packets and no armour")


def parse_cleartext(lines, i, report):
    hash_names = []
    while i < len(lines) and lines[i].rstrip("\r"):
        head = lines[i].rstrip("\r")
        if head.startswith("Hash: "):
            hash_names += [h.strip() for h in head[6:].split(",")]
        i += 1
    i += 1
    text_lines = []
    while i < len(lines):
        line = lines[i]
        if line.rstrip("\r").startswith("-----BEGIN ") and line.rstrip("\r").endswith("-----"):
            break
        if line.startswith("- "):
            line = line[2:]
        elif line.startswith("-"):
            raise Failure("undashed line starting with a dash")
        text_lines.append(line)
        i += 1
    else:
        raise Failure("no signature after the cleartext")
    _, _, sig, _ = dearmor_block([l.rstrip("\r") for l in lines], i)
    # The output keeps each line's own ending; the hash drops trailing blanks, ends lines with
    # CR LF and leaves out the ending of the last line.
    hashed = []
    for line in text_lines:
        stripped = line[:-1] if line.endswith("\r") else line
        hashed.append(stripped.rstrip(" \t"))
    signed = "\r\n".join(hashed).encode("latin-1")
    output = "".join(line + "\n" for line in text_lines).encode("latin-1")
    report["cleartext_hash_headers"] = hash_names
    return ("clear", signed, sig, output)


# ---- keys ----

class KeyPart:
    def __init__(self, body, primary):
        self.body = body
        self.primary = primary
        self.version = body[0]
        if self.version != 4:
            raise Failure("only version 4 keys")
        self.created = struct.unpack(">I", body[1:5])[0]
        self.alg = body[5]
        pos = 6
        self.oid = None
        self.kdf = None
        self.params = []
        if self.alg in (1, 2, 3):
            count = 2
        elif self.alg in (16, 20):
            count = 3
        elif self.alg == 17:
            count = 4
        elif self.alg in (18, 19, 22):
            ln = body[pos]
            self.oid = bytes(body[pos + 1:pos + 1 + ln])
            pos += 1 + ln
            count = 1
        else:
            raise Failure("unknown key algorithm %d" % self.alg)
        for _ in range(count):
            v, raw, pos = mpi(body, pos)
            self.params.append((v, raw))
        if self.alg == 18:
            ln = body[pos]
            self.kdf = bytes(body[pos + 1:pos + 1 + ln])
            pos += 1 + ln
        self.public_length = pos
        pub = bytes(body[:pos])
        self.fingerprint = hashlib.sha1(b"\x99" + struct.pack(">H", len(pub)) + pub).digest()
        self.keyid = self.fingerprint[12:]
        self.secret = None

    def unlock(self, passphrase):
        body = self.body
        pos = self.public_length
        if pos >= len(body):
            return
        usage = body[pos]
        pos += 1
        if usage == 0:
            plain = body[pos:-2]
        elif usage in (254, 255):
            sym = body[pos]
            key, pos = s2k(body, pos + 1, passphrase.encode(), cipher_of(sym)[0])
            bs = cipher_of(sym)[1]
            iv = body[pos:pos + bs]
            plain = fast_cfb_decrypt(sym, key, iv, bytes(body[pos + bs:]))
            if usage == 254:
                if hashlib.sha1(plain[:-20]).digest() != plain[-20:]:
                    raise Failure("wrong passphrase for a key")
                plain = plain[:-20]
            else:
                plain = plain[:-2]
        else:
            raise Failure("unsupported secret key protection")
        values = []
        p = 0
        while p < len(plain):
            v, raw, p = mpi(plain, p)
            values.append((v, raw))
        self.secret = values


def s2k(buf, pos, passphrase, keylen):
    kind = buf[pos]
    alg = buf[pos + 1]
    pos += 2
    salt = b""
    count = 0
    if kind in (1, 3):
        salt = bytes(buf[pos:pos + 8])
        pos += 8
    if kind == 3:
        c = buf[pos]
        pos += 1
        count = (16 + (c & 15)) << ((c >> 4) + 6)
    elif kind not in (0, 1):
        raise Failure("unknown S2K type %d" % kind)
    material = salt + passphrase
    total = max(count, len(material))
    out = b""
    preload = 0
    while len(out) < keylen:
        h = new_hash(alg)
        h.update(b"\0" * preload)
        if material:
            reps, rest = divmod(total, len(material))
            block = material * max(1, (1 << 20) // len(material))
            while reps * len(material) >= len(block):
                h.update(block)
                reps -= len(block) // len(material)
            h.update(material * reps + material[:rest])
        out += h.digest()
        preload += 1
    return out[:keylen], pos


def load_keys(path, passphrase):
    data = open(path, "rb").read()
    parts = []
    for tag, body, _ in read_packets(data):
        if tag in (5, 6, 7, 14):
            part = KeyPart(body, tag in (5, 6))
            if tag in (5, 7) and passphrase is not None:
                part.unlock(passphrase)
            parts.append(part)
    return parts


# ---- session keys ----

def pkcs1_unpad(em, k):
    em = em.rjust(k, b"\0")
    if em[0] != 0 or em[1] != 2:
        raise Failure("bad session key padding")
    sep = em.find(b"\0", 2)
    if sep < 10:
        raise Failure("bad session key padding")
    return em[sep + 1:]


def check_session_key(m):
    alg = m[0]
    info = cipher_of(alg)
    if alg == 10:  # Twofish: not offered by the package; the layout is still checked
        info = (32, 16, None)
    if info is None or len(m) != 1 + info[0] + 2:
        raise Failure("session key of a wrong length")
    key = m[1:1 + info[0]]
    if sum(key) & 0xFFFF != struct.unpack(">H", m[-2:])[0]:
        raise Failure("session key checksum")
    return alg, key


def ecdh_kdf(part, shared):
    kdf = part.kdf
    if len(kdf) != 3 or kdf[0] != 1:
        raise Failure("unknown KDF parameters")
    hash_alg, kek_alg = kdf[1], kdf[2]
    param = (bytes([len(part.oid)]) + part.oid + bytes([18]) + b"\x03\x01" +
             bytes([hash_alg, kek_alg]) + b"Anonymous Sender    " + part.fingerprint)
    h = new_hash(hash_alg)
    h.update(b"\0\0\0\1" + shared + param)
    return h.digest()[:cipher_of(kek_alg)[0]]


def open_pkesk(body, part):
    pos = 10
    if part.alg in (1, 2):
        c, _, _ = mpi(body, pos)
        n, e = part.params[0][0], part.params[1][0]
        d, p, q = part.secret[0][0], part.secret[1][0], part.secret[2][0]
        priv = rsa.RSAPrivateNumbers(p, q, d, d % (p - 1), d % (q - 1), pow(q, -1, p),
                                     rsa.RSAPublicNumbers(e, n)).private_key()
        k = (n.bit_length() + 7) // 8
        m = priv.decrypt(c.to_bytes(k, "big"), padding.PKCS1v15())
        return check_session_key(m)
    if part.alg in (16, 20):
        a, _, pos = mpi(body, pos)
        b, _, _ = mpi(body, pos)
        p = part.params[0][0]
        x = part.secret[0][0]
        m = (b * pow(a, p - 1 - x, p)) % p
        k = (p.bit_length() + 7) // 8
        return check_session_key(pkcs1_unpad(m.to_bytes(k, "big"), k))
    if part.alg == 18:
        _, v, pos = mpi(body, pos)
        ln = body[pos]
        wrapped = bytes(body[pos + 1:pos + 1 + ln])
        name = CURVES.get(part.oid, ("?", None))
        scalar = part.secret[0][1]
        if name[0] == "cv25519":
            if len(v) != 33 or v[0] != 0x40:
                raise Failure("bad ephemeral point")
            # The secret scalar is kept big-endian; X25519 wants it little-endian.
            native = bytes(reversed(scalar.rjust(32, b"\0")))
            priv = x25519.X25519PrivateKey.from_private_bytes(native)
            shared = priv.exchange(x25519.X25519PublicKey.from_public_bytes(bytes(v[1:])))
        elif name[1] is not None:
            priv = ec.derive_private_key(int.from_bytes(scalar, "big"), name[1]())
            peer = ec.EllipticCurvePublicKey.from_encoded_point(name[1](), bytes(v))
            shared = priv.exchange(ec.ECDH(), peer)
        else:
            raise Failure("unknown ECDH curve")
        m = aes_key_unwrap(ecdh_kdf(part, shared), wrapped)
        pad = m[-1]
        if pad < 1 or pad > 8 or m[-pad:] != bytes([pad]) * pad:
            raise Failure("bad key wrap padding")
        return check_session_key(m[:-pad])
    raise Failure("unsupported PKESK algorithm %d" % part.alg)


def open_skesk(body, passphrase):
    if body[0] != 4:
        raise Failure("SKESK version %d" % body[0])
    sym = body[1]
    if cipher_of(sym) is None:
        raise Failure("unsupported SKESK cipher %d" % sym)
    key, pos = s2k(body, 2, passphrase.encode(), cipher_of(sym)[0])
    if pos == len(body):
        return sym, key
    plain = fast_cfb_decrypt(sym, key, b"\0" * cipher_of(sym)[1], bytes(body[pos:]))
    return check_session_key(plain + struct.pack(">H", sum(plain[1:]) & 0xFFFF))


# ---- signatures ----

def parse_signature(body):
    sig = {"version": body[0]}
    if body[0] == 4:
        sig["type"], sig["pk"], sig["hash"] = body[1], body[2], body[3]
        hl = struct.unpack(">H", body[4:6])[0]
        hashed = body[6:6 + hl]
        pos = 6 + hl
        ul = struct.unpack(">H", body[pos:pos + 2])[0]
        unhashed = body[pos + 2:pos + 2 + ul]
        pos += 2 + ul
        sig["hashed_part"] = bytes(body[:6 + hl])
        sig["trailer"] = b"\x04\xff" + struct.pack(">I", 6 + hl)
        sig["subpackets"] = subpackets(hashed, True) + subpackets(unhashed, False)
        for kind, data, _ in sig["subpackets"]:
            if kind == 16:
                sig["issuer"] = data[:8]
            if kind == 33 and "issuer" not in sig:
                sig["issuer"] = data[-8:]
            if kind == 2:
                sig["created"] = struct.unpack(">I", data[:4])[0]
    elif body[0] == 3:
        sig["type"] = body[2]
        sig["hashed_part"] = bytes(body[2:7])
        sig["trailer"] = b""
        sig["created"] = struct.unpack(">I", body[3:7])[0]
        sig["issuer"] = bytes(body[7:15])
        sig["pk"], sig["hash"] = body[15], body[16]
        pos = 17
        sig["subpackets"] = []
    else:
        raise Failure("signature version %d" % body[0])
    sig["left16"] = bytes(body[pos:pos + 2])
    pos += 2
    values = []
    while pos < len(body):
        v, raw, pos = mpi(body, pos)
        values.append((v, raw))
    sig["mpis"] = values
    return sig


def subpackets(area, hashed):
    out = []
    pos = 0
    while pos < len(area):
        b0 = area[pos]
        if b0 < 192:
            ln, pos = b0, pos + 1
        elif b0 < 255:
            ln, pos = ((b0 - 192) << 8) + area[pos + 1] + 192, pos + 2
        else:
            ln, pos = struct.unpack(">I", area[pos + 1:pos + 5])[0], pos + 5
        out.append((area[pos] & 0x7F, bytes(area[pos + 1:pos + ln]), hashed))
        pos += ln
    return out


def check_signature(sig, digest, keys):
    issuer = sig.get("issuer")
    part = next((k for k in keys if issuer is not None and k.keyid == issuer), None)
    verdict = {"issuer": issuer.hex().upper() if issuer else None, "type": sig["type"],
               "hash": sig["hash"], "pk": sig["pk"], "created": sig.get("created"),
               "version": sig["version"],
               "subpackets": sorted({k for k, _, h in sig["subpackets"] if h})}
    if digest[:2] != sig["left16"]:
        verdict["status"] = "bad"
        verdict["why"] = "left 16 bits differ"
        return verdict
    if part is None:
        verdict["status"] = "no key"
        return verdict
    hash_cls = HASHES[sig["hash"]][1]
    try:
        if part.alg in (1, 3):
            n, e = part.params[0][0], part.params[1][0]
            pub = rsa.RSAPublicNumbers(e, n).public_key()
            k = (n.bit_length() + 7) // 8
            pub.verify(sig["mpis"][0][0].to_bytes(k, "big"), digest, padding.PKCS1v15(),
                       Prehashed(hash_cls()))
        elif part.alg == 17:
            p, q, g, y = (v for v, _ in part.params)
            pub = dsa.DSAPublicNumbers(y, dsa.DSAParameterNumbers(p, q, g)).public_key()
            der = encode_dss_signature(sig["mpis"][0][0], sig["mpis"][1][0])
            pub.verify(der, digest, Prehashed(hash_cls()))
        elif part.alg == 19:
            curve = CURVES[part.oid][1]
            pub = ec.EllipticCurvePublicKey.from_encoded_point(curve(), part.params[0][1])
            der = encode_dss_signature(sig["mpis"][0][0], sig["mpis"][1][0])
            pub.verify(der, digest, ec.ECDSA(Prehashed(hash_cls())))
        elif part.alg == 22:
            point = part.params[0][1]
            pub = ed25519.Ed25519PublicKey.from_public_bytes(bytes(point[1:]))
            raw = (sig["mpis"][0][0].to_bytes(32, "big") + sig["mpis"][1][0].to_bytes(32, "big"))
            pub.verify(raw, digest)
        else:
            verdict["status"] = "unsupported"
            return verdict
        verdict["status"] = "good"
    except InvalidSignature:
        verdict["status"] = "bad"
    return verdict


def signature_digest(sig, data):
    h = new_hash(sig["hash"])
    h.update(canonical_text(data) if sig["type"] == 1 else data)
    h.update(sig["hashed_part"])
    h.update(sig["trailer"])
    return h.digest()


# ---- the message ----

class Reader:
    def __init__(self, keys, passphrase, report):
        self.keys = keys
        self.passphrase = passphrase
        self.report = report
        self.literal = None
        self.ops = []
        self.sigs = []

    def walk(self, packets, depth):
        if depth > 8:
            raise Failure("nested too deep")
        session = None
        esks = []
        for tag, body, form in packets:
            self.report["packets"].append({"tag": tag, "depth": depth, "length": len(body),
                                           "header": form})
            if tag in (1, 3):
                esks.append((tag, body))
            elif tag == 18:
                session = self.find_session_key(esks)
                self.decrypt_seipd(body, session, depth)
            elif tag == 9:
                self.report["mdc"] = "absent"
                raise Failure("no MDC")
            elif tag == 8:
                self.walk(read_packets(self.decompress(body)), depth + 1)
            elif tag == 4:
                self.ops.append(body)
            elif tag == 2:
                self.sigs.append(parse_signature(body))
            elif tag == 11:
                self.read_literal(body)
            elif tag == 10:
                pass
            else:
                raise Failure("unexpected packet %d" % tag)

    def find_session_key(self, esks):
        found = self.report.setdefault("session", {})
        found["pkesk"] = []
        for tag, body in esks:
            if tag == 1:
                if body[0] != 3:
                    raise Failure("PKESK version %d" % body[0])
                keyid = bytes(body[1:9])
                found["pkesk"].append({"keyid": keyid.hex().upper(), "alg": body[9]})
        for tag, body in esks:
            if tag != 1:
                continue
            keyid = bytes(body[1:9])
            for part in self.keys:
                if part.secret is None or part.alg != body[9]:
                    continue
                if part.keyid == keyid or keyid == b"\0" * 8:
                    try:
                        alg, key = open_pkesk(body, part)
                    except (Failure, ValueError):
                        continue
                    found.update({"opened_by": part.keyid.hex().upper(), "cipher": alg})
                    return alg, key
        for tag, body in esks:
            if tag == 3 and self.passphrase is not None:
                alg, key = open_skesk(body, self.passphrase)
                found.update({"opened_by": "passphrase", "cipher": alg,
                              "s2k_type": body[2], "s2k_hash": body[3]})
                return alg, key
        raise Failure("no session key")

    def decrypt_seipd(self, body, session, depth):
        if body[0] != 1:
            raise Failure("SEIPD version %d" % body[0])
        alg, key = session
        info = cipher_of(alg)
        if info is None:
            raise Failure("cipher %d not available here" % alg)
        bs = info[1]
        plain = fast_cfb_decrypt(alg, key, b"\0" * bs, bytes(body[1:]))
        if plain[bs - 2:bs] != plain[bs:bs + 2]:
            raise Failure("quick check")
        if len(plain) < bs + 2 + 22 or plain[-22:-20] != b"\xd3\x14":
            self.report["mdc"] = "absent"
            raise Failure("no MDC packet")
        if hashlib.sha1(plain[:-20]).digest() != plain[-20:]:
            self.report["mdc"] = "bad"
            raise Failure("MDC")
        self.report["mdc"] = "good"
        self.walk(read_packets(plain[bs + 2:-22]), depth + 1)

    def decompress(self, body):
        alg = body[0]
        self.report.setdefault("compression", []).append(alg)
        data = body[1:]
        if alg == 0:
            return data
        if alg == 1:
            return zlib.decompressobj(-15).decompress(data)
        if alg == 2:
            return zlib.decompress(data)
        if alg == 3:
            return bz2.decompress(data)
        raise Failure("compression %d" % alg)

    def read_literal(self, body):
        mode = chr(body[0])
        ln = body[1]
        name = body[2:2 + ln]
        date = struct.unpack(">I", body[2 + ln:6 + ln])[0]
        self.literal = bytes(body[6 + ln:])
        self.report["literal"] = {"mode": mode, "name": name.decode("latin-1"), "date": date,
                                  "length": len(self.literal)}


def decode(message, keys, passphrase, signed_data):
    """Reads one message; returns the report (a dict) and the literal data (or None)."""
    report = {"packets": [], "signatures": []}
    reader = Reader(keys, passphrase, report)
    try:
        kind = parse_input(open(message, "rb").read(), report)
        if kind[0] == "clear":
            _, signed, sigdata, text = kind
            report["cleartext"] = True
            reader.walk(read_packets(sigdata), 0)
            reader.literal = text
            for sig in reader.sigs:
                h = new_hash(sig["hash"])
                h.update(signed)
                h.update(sig["hashed_part"])
                h.update(sig["trailer"])
                report["signatures"].append(check_signature(sig, h.digest(), keys))
        else:
            reader.walk(read_packets(kind[1]), 0)
            data = reader.literal
            if data is None and signed_data is not None:
                data = signed_data
                report["detached"] = True
            if reader.ops:
                report["one_pass"] = [{"type": o[1], "hash": o[2], "pk": o[3],
                                       "issuer": o[4:12].hex().upper(), "nested": o[12]}
                                      for o in reader.ops]
                if len(reader.ops) != len(reader.sigs):
                    raise Failure("one-pass and signature packets do not pair up")
            for sig in reader.sigs:
                if data is None:
                    raise Failure("signature without data")
                report["signatures"].append(check_signature(sig, signature_digest(sig, data),
                                                            keys))
        if reader.literal is not None:
            report["sha256"] = hashlib.sha256(reader.literal).hexdigest()
    except Failure as e:
        report["error"] = str(e)
    return report, reader.literal


def flatten(report):
    """The report as one line of tab-separated key=value fields, for the C++ tests."""
    out = {}
    for key in ("error", "mdc", "sha256", "armour_label", "cleartext", "detached"):
        if key in report:
            out[key] = str(report[key])
    session = report.get("session", {})
    for key in ("opened_by", "cipher", "s2k_type", "s2k_hash"):
        if key in session:
            out[key] = str(session[key])
    out["pkesk"] = ",".join("%s:%d" % (p["keyid"], p["alg"]) for p in session.get("pkesk", []))
    if "literal" in report:
        lit = report["literal"]
        out["literal_mode"] = lit["mode"]
        out["literal_name"] = lit["name"]
        out["literal_date"] = str(lit["date"])
        out["literal_length"] = str(lit["length"])
    out["compression"] = ",".join(str(c) for c in report.get("compression", []))
    out["packets"] = ",".join("%d@%d" % (p["tag"], p["depth"]) for p in report["packets"])
    out["partial"] = str(sum(1 for p in report["packets"] if p["header"] == "new-partial"))
    out["signatures"] = str(len(report["signatures"]))
    for i, sig in enumerate(report["signatures"]):
        out["sig%d" % i] = "%s,%s,%d,%d,%d,%d,%s" % (
            sig["status"], sig["issuer"], sig["type"], sig["hash"], sig["pk"], sig["version"],
            "+".join(str(t) for t in sig["subpackets"]))
    for i, ops in enumerate(report.get("one_pass", [])):
        out["ops%d" % i] = "%d,%d,%d,%s,%d" % (ops["type"], ops["hash"], ops["pk"],
                                               ops["issuer"], ops["nested"])
    return "\t".join("%s=%s" % (k, v.replace("\t", " ").replace("\n", " "))
                     for k, v in sorted(out.items()))


def load_key_list(specs, cache):
    keys = []
    for path, passphrase in specs:
        if (path, passphrase) not in cache:
            cache[(path, passphrase)] = load_keys(path, passphrase)
        keys += cache[(path, passphrase)]
    return keys


def main(argv):
    warnings.simplefilter("ignore")
    specs = []
    passphrase = None
    signed_data = None
    output = None
    jobs = None
    message = None
    args = list(argv)
    while args:
        a = args.pop(0)
        if a == "--key":
            path, colon, pw = args.pop(0).partition(":")
            specs.append((path, pw if colon else None))
        elif a == "--passphrase":
            passphrase = args.pop(0)
        elif a == "--signed-data":
            signed_data = open(args.pop(0), "rb").read()
        elif a == "--output":
            output = args.pop(0)
        elif a == "--jobs":
            jobs = args.pop(0)
        else:
            message = a
    cache = {}
    if jobs is not None:
        # One job per line: message path, then "key=PATH[:PASS]", "passphrase=TEXT" and
        # "signed=PATH" fields, tab-separated. One flat report line per job.
        for line in open(jobs, encoding="utf-8").read().splitlines():
            fields = line.split("\t")
            job_keys, job_pass, job_signed = [], None, None
            for f in fields[1:]:
                name, _, value = f.partition("=")
                if name == "key":
                    path, colon, pw = value.partition(":")
                    job_keys.append((path, pw if colon else None))
                elif name == "passphrase":
                    job_pass = value
                elif name == "signed":
                    job_signed = open(value, "rb").read()
            report, _ = decode(fields[0], load_key_list(job_keys, cache), job_pass, job_signed)
            sys.stdout.write(flatten(report) + "\n")
        return 0
    report, literal = decode(message, load_key_list(specs, cache), passphrase, signed_data)
    if literal is not None and output:
        open(output, "wb").write(literal)
    json.dump(report, sys.stdout, default=lambda b: b.hex() if isinstance(b, bytes) else str(b))
    sys.stdout.write("\n")
    return 1 if "error" in report else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
