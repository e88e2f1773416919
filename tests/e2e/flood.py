#!/usr/bin/python3
"""Malformed DNS datagrams at full rate to one UDP port, bounded in count and time:
    flood.py PORT COUNT SECONDS [SEED] [HOST]
Prints "sent N" at the end. The datagrams are drawn from a fixed set of broken shapes (random bytes,
short headers, compression loops, over-long labels and names, bad characters, counts that lie,
answers instead of questions, the largest datagram) so that every parser error path is hit."""
import random
import socket
import struct
import sys
import time


def header(id, flags=0x0100, qd=1, an=0, ns=0, ar=0):
    return struct.pack(">HHHHHH", id, flags, qd, an, ns, ar)


def shapes(rng):
    out = []
    q = b"\x03www\x07example\x04test\x00\x00\x01\x00\x01"
    for i in range(64):
        out.append(bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 600))))
    out += [
        b"\x00",
        header(1)[:11],
        header(2, qd=0),
        header(3) + b"\xc0\x0c\x00\x01\x00\x01",                      # pointer to itself
        header(4) + b"\x01a\xc0\x0e\x00\x01\x00\x01",                 # pointer forward into itself
        header(5) + b"\xc0\xff\x00\x01\x00\x01",                      # pointer past the end
        header(6) + b"\x40" + b"a" * 64 + b"\x00\x00\x01\x00\x01",   # label of 64
        header(7) + (b"\x3f" + b"a" * 63) * 5 + b"\x00\x00\x01\x00\x01",  # name over 255
        header(8) + b"\x03a b\x00\x00\x01\x00\x01",                   # bad character
        header(9) + b"\x03www",                                       # question cut short
        header(10) + q[:-2],                                          # no class
        header(11, qd=2) + q,                                         # count says two
        header(12, qd=0xffff) + q,
        header(13, flags=0x8180, an=0xffff) + q + b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04",
        header(14, flags=0x7900) + q,                                 # opcode 15
        header(15) + b"\x00\x00\x01\x00\x01",                         # empty name
        header(16) + b"\x80\x00\x00\x01\x00\x01",                     # reserved label type
        bytes(range(256)) * 32,                                       # 8192 bytes
    ]
    return out


def main():
    port, count, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else 1
    host = sys.argv[5] if len(sys.argv) > 5 else "127.0.0.1"
    rng = random.Random(seed)
    data = shapes(rng)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    target = (host, port)
    deadline = time.time() + seconds
    sent = 0
    n = len(data)
    while sent < count:
        for i in range(256):
            try:
                s.sendto(data[(sent + i) % n], target)
            except OSError:
                pass
        sent += 256
        if time.time() >= deadline:
            break
    print("sent %d" % sent, flush=True)


if __name__ == "__main__":
    main()
