#!/usr/bin/env python3
"""Generates a client folder of about SIZE MiB: many small text files (2000,
and 2000 more per GiB above the first), a few large ones, part compressible
and part not, and bin/client. Deterministic.
Usage: make-package.py SIZE FOLDER [text]
With "text", the compressible part is text of random words (about 3:1 with
zstd, where the level matters) instead of repeated blocks that any level
compresses to almost nothing."""
import os
import random
import sys

size_mib, folder = int(sys.argv[1]), sys.argv[2]
text_mode = len(sys.argv) > 3 and sys.argv[3] == "text"
rng = random.Random(size_mib)
# A vocabulary with a few common and many rare words, as text has; from a
# generator of its own, so that the default output stays as it was.
text_rng = random.Random(-size_mib)
vocabulary = [bytes(text_rng.choice(b"abcdefghijklmnopqrstuvwxyz")
                    for _ in range(text_rng.randint(2, 10)))
              for _ in range(4000)]
weights = [1.0 / (rank + 1) for rank in range(len(vocabulary))]


def text(n):
    """n bytes of fresh text: never a repeat a compressor could just point at."""
    out = bytearray()
    while len(out) < n:
        words = text_rng.choices(vocabulary, weights=weights, k=max(16, (n - len(out)) // 6))
        out += b" ".join(words) + b"\n"
    return bytes(out[:n])


total = size_mib * 1024 * 1024
os.makedirs(os.path.join(folder, "bin"), exist_ok=True)
with open(os.path.join(folder, "bin", "client"), "w") as f:
    f.write("#!/bin/sh\nexit 0\n")
os.chmod(os.path.join(folder, "bin", "client"), 0o755)

written = 0
words = [b"ivra", b"engine", b"texture", b"shader", b"level", b"asset", b"mesh", b"sound"]
# About a tenth in small compressible files, 50 to a folder.
small_budget = total // 10
small_files = max(2000, 2000 * size_mib // 1024)
for i in range(small_files):
    path = os.path.join(folder, "data", "small%03d" % (i % (small_files // 50)), "file%05d.txt" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    n = small_budget // small_files
    line = b" ".join(rng.choice(words) for _ in range(12)) + b"\n"
    with open(path, "wb") as f:
        f.write(text(n) if text_mode else (line * (n // len(line) + 1))[:n])
    written += n
# The rest in large files: half incompressible, half compressible.
index = 0
while written < total:
    n = min(64 * 1024 * 1024, total - written)
    path = os.path.join(folder, "packs", "pack%03d.bin" % index)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        if index % 2 == 0:
            f.write(os.urandom(n))
        elif text_mode:
            for offset in range(0, n, 8 << 20):
                f.write(text(min(8 << 20, n - offset)))
        else:
            block = bytes(rng.getrandbits(8) % 16 for _ in range(4096))
            f.write((block * (n // 4096 + 1))[:n])
    written += n
    index += 1
