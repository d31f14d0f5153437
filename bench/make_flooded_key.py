#!/usr/bin/env python3
"""make_flooded_key.py: writes a key flooded with certifications by strangers, for benchmarks.

    bench/make_flooded_key.py RING INDEX COUNT OUT

Takes key number INDEX (from 0) of the binary public ring RING and writes it to OUT with COUNT
v4 certifications (type 0x10) after its first user ID, each by another issuer key ID that no ring
holds and with its own creation time. Their signature values are filler: nobody can check them
without the issuers' keys, which is what such a flood looks like to its victims.
"""
import struct
import sys


def packets(data):
    """Yields (tag, start, end) of each packet of a binary packet stream."""
    pos = 0
    while pos < len(data):
        start = pos
        first = data[pos]
        if not first & 0x80:
            raise ValueError("not a packet at %d" % pos)
        if first & 0x40:  # new format
            tag = first & 0x3F
            length = data[pos + 1]
            if length < 192:
                pos += 2
            elif length < 224:
                length = ((length - 192) << 8) + data[pos + 2] + 192
                pos += 3
            elif length == 255:
                length = struct.unpack(">I", data[pos + 2:pos + 6])[0]
                pos += 6
            else:
                raise ValueError("partial length at %d" % pos)
        else:
            tag = (first >> 2) & 0x0F
            kind = first & 3
            size = {0: 1, 1: 2, 2: 4}[kind]
            length = int.from_bytes(data[pos + 1:pos + 1 + size], "big")
            pos += 1 + size
        pos += length
        yield tag, start, pos


def certification(issuer, created):
    body = bytes([4, 0x10, 1, 8]) + struct.pack(">H", 6) + bytes([5, 2]) + struct.pack(">I", created)
    body += struct.pack(">H", 10) + bytes([9, 16]) + issuer + b"\x12\x34" + b"\x00\x08\x9c"
    return bytes([0xC2, len(body)]) + body


def main():
    ring, index, count, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    data = open(ring, "rb").read()
    keys = [start for tag, start, _ in packets(data) if tag == 6] + [len(data)]
    key = data[keys[index]:keys[index + 1]]
    user_end = next(end for tag, _, end in packets(key) if tag == 13)
    flood = b"".join(certification(b"\xf1\x0d\xed\x00" + struct.pack(">I", i), 1600000000 + i)
                     for i in range(count))
    open(out, "wb").write(key[:user_end] + flood + key[user_end:])


if __name__ == "__main__":
    main()
