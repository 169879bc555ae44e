#!/usr/bin/env python3
"""Generates a client of COUNT files (20,000 by default) of 4 to 64 KiB of
text, 50 to a folder (data/smallNNN, so that the benchmarks' derive picks
them), and bin/client. Text compresses about 3:1, as game data files that are
not already packed do. Deterministic.
Usage: make-many.py FOLDER [COUNT]"""
import os
import random
import sys

folder = sys.argv[1]
count = int(sys.argv[2]) if len(sys.argv) > 2 else 20000
rng = random.Random(20000)
vocabulary = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 10)))
              for _ in range(4000)]
weights = [1.0 / (rank + 1) for rank in range(len(vocabulary))]
# One pool of text; each file is a slice of it at its own offset.
pool = bytearray()
while len(pool) < 8 << 20:
    pool += b" ".join(rng.choices(vocabulary, weights=weights, k=20000)) + b"\n"
os.makedirs(os.path.join(folder, "bin"), exist_ok=True)
with open(os.path.join(folder, "bin", "client"), "w") as f:
    f.write("#!/bin/sh\nexit 0\n")
os.chmod(os.path.join(folder, "bin", "client"), 0o755)
for i in range(count):
    path = os.path.join(folder, "data", "small%03d" % (i // 50), "file%05d.txt" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    size = rng.randint(4 << 10, 64 << 10)
    start = rng.randrange(len(pool) - size)
    with open(path, "wb") as f:
        f.write(pool[start:start + size])
