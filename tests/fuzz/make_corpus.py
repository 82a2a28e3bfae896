#!/usr/bin/env python3
"""Writes the fuzzers' seed corpus from the sample files and a few refusals."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(HERE, "..", "..", "examples")


def sample(name):
    with open(os.path.join(EXAMPLES, name), "rb") as f:
        return f.read()


def made(magic, kind, size):
    return (struct.pack("<IB", magic, kind) + bytes(range(size)))[:size]


FILES = {name: sample(name + "-setup.bin") for name in ("gp2", "gp3", "gp3-2000", "gp4")}
FILES.update({
    "gp4-84-bytes": made(0xABADFEED, 3, 84),
    "gp4-kind-4": made(0xABADFEED, 4, 92),
    "gp3-100-bytes": made(0x853DA1BE, 3, 100),
    "short": made(0x853DA1BE, 3, 10),
})


def format_input(data):
    # header, 64-bit size, strategy, two split points, body
    return data[:32].ljust(32, b"\0") + struct.pack("<Q", len(data)) + bytes([3, 25, 50, 75]) \
        + struct.pack("<HH", 20, 60) + data[32:]


def run_input(percentages, data):
    return bytes([len(percentages) + 1]) + b"".join(p + b"\0" for p in percentages) + data


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


for name, data in FILES.items():
    write(os.path.join(HERE, "corpus", "setup_format"), name, format_input(data))
    write(os.path.join(HERE, "corpus", "patch_run"), name, run_input([b"25", b"50", b"75"], data))
write(os.path.join(HERE, "corpus", "patch_run"), "gp3-256", run_input([b"50", b"256"], FILES["gp3"]))
write(os.path.join(HERE, "corpus", "patch_run"), "gp3-wrapping", run_input([b"4294967306"], FILES["gp3"]))
write(os.path.join(HERE, "corpus", "patch_run"), "gp2-no-stops", run_input([], FILES["gp2"]))
write(os.path.join(HERE, "corpus", "patch_run"), "usage", bytes([0]) + FILES["gp3"])
write(os.path.join(HERE, "corpus", "patch_run"), "gp4-signs", run_input([b"-0", b"+07", b" \t255"], FILES["gp4"]))
write(os.path.join(HERE, "corpus", "patch_run"), "gp3-negative", run_input([b"-1"], FILES["gp3"]))
write(os.path.join(HERE, "corpus", "patch_run"), "gp3-2000-text", run_input([b"50%", b"abc", b""], FILES["gp3-2000"]))
