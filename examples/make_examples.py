#!/usr/bin/env python3
"""Writes the synthetic sample setup files in this folder.

The bytes are invented: a header with the right magic and kind byte, a body
with made-up setup values and a pit strategy, and a trailer that holds the
correct two checksums for the edition. Run it from anywhere; it rewrites the
four .bin files beside it.
"""
import os
import struct

GP2_GP3_MAGIC = 0x853DA1BE
GP4_MAGIC = 0xABADFEED
GP4_SEAL = (0x8065, 0x8465)


def checksum(data, seal=(0, 0)):
    byte_sum, rotating = 0, 0
    for b in data:
        byte_sum = (byte_sum + b) & 0xFFFF
        rotating = (((rotating << 3) | (rotating >> 13)) + b) & 0xFFFF
    return (byte_sum + seal[0]) & 0xFFFF, (rotating + seal[1]) & 0xFFFF


def header(magic, kind, label):
    name = label.encode("ascii").ljust(16, b"\0")
    # magic, kind, three reserved bytes, a format version, car number, a
    # 16-byte setup name, and five bytes of lap-time hints
    rest = bytes([0, 0, 0]) + struct.pack("<H", 0x0102) + bytes([7]) + name + bytes([0x5A, 0x01, 0x3C, 0x00, 0x11])
    data = struct.pack("<IB", magic, kind) + rest
    assert len(data) == 32
    return data


def body(size, stops, percentages):
    wings_and_gears = bytes([11, 9, 38, 47, 55, 62, 69, 75, 57, 3])  # wings, 6 gears, brake balance, grip
    strategy = bytes([stops, 2]) + bytes(percentages)  # stop count, tyre compound, three percentages
    suspension = bytes((20 + 7 * i) % 200 for i in range(size - len(wings_and_gears) - len(strategy)))
    data = wings_and_gears + strategy + suspension
    assert len(data) == size
    return data


def setup_file(magic, kind, body_size, seal, label, stops, percentages):
    data = header(magic, kind, label) + body(body_size, stops, percentages)
    return data + struct.pack("<HH", *checksum(data, seal))


SAMPLES = {
    "gp2-setup.bin": setup_file(GP2_GP3_MAGIC, 0x03, 48, (0, 0), "Monza race", 1, [50, 0, 0]),
    "gp3-setup.bin": setup_file(GP2_GP3_MAGIC, 0x03, 56, (0, 0), "Imola race", 2, [33, 66, 0]),
    "gp3-2000-setup.bin": setup_file(GP2_GP3_MAGIC, 0x43, 56, (0, 0), "Spa wet", 1, [45, 0, 0]),
    "gp4-setup.bin": setup_file(GP4_MAGIC, 0x03, 56, GP4_SEAL, "Suzuka race", 3, [24, 50, 76]),
}

if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    for name, data in SAMPLES.items():
        with open(os.path.join(here, name), "wb") as f:
            f.write(data)
