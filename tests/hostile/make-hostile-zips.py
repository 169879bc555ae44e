#!/usr/bin/env python3
"""Writes the hostile-archive suite: one ZIP per case and cases.json, which
says for each case what the extraction must end in.

Most cases are written byte by byte, because no zip tool produces them
(traversal names, NUL bytes, lying sizes, wrong CRCs, overlapping entries).
Every harmful name aims at a file called "ivra-hostile-*" outside the
extraction folder, so that a test can look for any such file afterwards.

In cases.json, "message" is the expected failure text with "{zip}" for the
archive path and "{staging}" for the extraction folder, or null when the
archive must extract; "passMessage" is what a whole update pass that
installs the archive must show (null: it ends ready); "files" then lists files that must exist afterwards
with their sizes (-1: any size); "count" the number of files extracted.

Usage: make-hostile-zips.py OUTPUT_FOLDER
"""
import json
import os
import struct
import sys
import zipfile
import zlib

UNIX = 3
LAUNCH = b"#!/bin/sh\necho hostile\n"


class Entry:
    def __init__(self, name, data=b"", method=0, raw=None, crc=None, size=None,
                 flags=0, mode=0o100755, system=UNIX, dos=0, local_name=None):
        self.name = name
        self.data = data
        self.method = method
        # The stored bytes: deflated when method 8, the data itself otherwise.
        self.raw = raw if raw is not None else (deflate(data) if method == 8 else data)
        self.crc = zlib.crc32(data) if crc is None else crc
        self.size = len(data) if size is None else size
        self.flags = flags
        self.external = (mode << 16) | dos if system == UNIX else dos
        self.system = system
        self.local_name = name if local_name is None else local_name


def deflate(data):
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


def build(entries, central=None):
    """A ZIP of the entries. central, when given, lists (entry, local offset
    index) pairs for the central directory instead of one record per entry."""
    out = bytearray()
    offsets = []
    for e in entries:
        offsets.append(len(out))
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, e.flags, e.method, 0, 0x21,
                           e.crc, len(e.raw), e.size, len(e.local_name), 0)
        out += e.local_name + e.raw
    records = central if central is not None else [(e, i) for i, e in enumerate(entries)]
    start = len(out)
    for e, i in records:
        out += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, (e.system << 8) | 20, 20, e.flags,
                           e.method, 0, 0x21, e.crc, len(e.raw), e.size, len(e.name), 0, 0, 0,
                           0, e.external, offsets[i])
        out += e.name
    size = len(out) - start
    out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(records), len(records), size, start, 0)
    return bytes(out)


def launch_entry():
    return Entry(b"bin/client", LAUNCH)


def evil(name=b"evil.txt"):
    return Entry(name, b"hostile bytes\n")


def cases(out):
    """Yields (name, description, zip bytes or writer, message, files, count)."""
    escape = "Unsafe zip entry path: %s."
    yield ("traversal-dotdot", "../ at the front", build([evil(b"../ivra-hostile-up.txt")]),
           escape % "../ivra-hostile-up.txt", None, None)
    yield ("traversal-backslash", "..\\ at the front",
           build([evil(b"..\\ivra-hostile-up.txt")]), escape % "../ivra-hostile-up.txt",
           None, None)
    yield ("traversal-mixed", "backslashes and slashes mixed",
           build([evil(b"bin\\..//..\\ivra-hostile-mixed.txt")]),
           escape % "bin/..//../ivra-hostile-mixed.txt", None, None)
    deep = b"../" * 24 + b"tmp/ivra-hostile-deep.txt"
    yield ("traversal-deep", "enough ../ to reach the file-system root", build([evil(deep)]),
           escape % deep.decode(), None, None)
    yield ("traversal-after-prefix", "a harmless entry first, then bin/../../x",
           build([launch_entry(), evil(b"bin/../../ivra-hostile-prefix.txt")]),
           escape % "bin/../../ivra-hostile-prefix.txt", None, None)
    yield ("absolute", "an absolute name", build([evil(b"/tmp/ivra-hostile-absolute.txt")]),
           escape % "/tmp/ivra-hostile-absolute.txt", None, None)
    yield ("drive-qualified", "C:\\ drive name",
           build([evil(b"C:\\Windows\\ivra-hostile-drive.txt")]),
           escape % "C:/Windows/ivra-hostile-drive.txt", None, None)
    yield ("drive-relative", "C: without a separator", build([evil(b"C:ivra-hostile-drive.txt")]),
           escape % "C:ivra-hostile-drive.txt", None, None)
    yield ("unc", "a UNC name", build([evil(b"\\\\host\\share\\ivra-hostile-unc.txt")]),
           escape % "//host/share/ivra-hostile-unc.txt", None, None)
    yield ("alternate-stream", "a colon naming an alternate data stream",
           build([launch_entry(), evil(b"bin/client:ivra-hostile-stream")]),
           escape % "bin/client:ivra-hostile-stream", None, None)
    # libzip reads a NUL inside a name as a space, so the name is judged whole.
    yield ("nul-in-name", "a NUL byte inside the name, a traversal after it",
           build([launch_entry(), evil(b"data/notes.txt\x00/../../../ivra-hostile-nul.txt")]),
           escape % "data/notes.txt /../../../ivra-hostile-nul.txt", None, None)
    long_name = "n" * 600
    yield ("name-600-bytes", "one name component of 600 bytes",
           build([launch_entry(), Entry(long_name.encode(), b"x")]),
           "Unable to extract zip entry: %s." % long_name, None, None)
    yield ("symlink-then-through", "a link to / then a file written through it",
           build([Entry(b"bin/escape", b"/tmp", mode=0o120777),
                  evil(b"bin/escape/ivra-hostile-link.txt")]),
           "Unable to create zip entry directory: {staging}/bin/escape.", None, None)
    yield ("duplicate-names", "the same name twice: the later one wins",
           build([Entry(b"bin/client", b"first"), launch_entry()]),
           None, {"bin/client": len(LAUNCH)}, 1)
    yield ("directory-then-file", "a directory entry, then a file of the same name",
           build([Entry(b"bin/client/", mode=0o40755, dos=0x10), launch_entry()]),
           "Unable to extract zip entry: bin/client.", None, None)
    yield ("file-then-directory", "a file entry, then a directory of the same name",
           build([launch_entry(), Entry(b"bin/client/", mode=0o40755, dos=0x10)]),
           "Unable to create zip directory: {staging}/bin/client.", None, None)
    shared = Entry(b"bin/client", LAUNCH)
    yield ("overlapping-entries", "two central records sharing one local entry",
           build([shared], central=[(shared, 0), (Entry(b"data/copy", LAUNCH), 0)]),
           None, {"bin/client": len(LAUNCH), "data/copy": len(LAUNCH)}, 2)
    whole = build([launch_entry(), Entry(b"data/readme.txt", b"r" * 4000)])
    yield ("truncated", "the archive cut in the middle", whole[: len(whole) // 2],
           "Unable to open zip payload: {zip}.", None, None)
    yield ("bad-crc", "a CRC-32 that does not match the data",
           build([Entry(b"bin/client", LAUNCH, crc=0x12345678)]),
           "Unable to extract zip entry: bin/client.", None, None)
    yield ("size-larger", "an uncompressed size larger than the data",
           build([Entry(b"bin/client", LAUNCH, method=8, size=len(LAUNCH) + 1000)]),
           "Unable to extract zip entry: bin/client.", None, None)
    inflating = b"z" * (4 << 20)
    yield ("size-smaller", "4 MiB that claims to be 16 bytes",
           build([Entry(b"bin/client", inflating, method=8, size=16)]),
           "Unable to extract zip entry: bin/client.", None, None)
    yield ("encrypted", "an entry flagged as encrypted",
           build([Entry(b"bin/client", LAUNCH, flags=1)]),
           "Unable to extract zip entry: bin/client.", None, None)
    yield ("unsupported-method", "compression method 97",
           build([Entry(b"bin/client", LAUNCH, method=97)]),
           "Unable to extract zip entry: bin/client.", None, None)

    def many(path):
        with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
            for i in range(100000):
                archive.writestr("empty/%03d/%05d" % (i // 1000, i), b"")
    yield ("entries-100000", "100,000 empty entries (ZIP64)", many, None,
           {"empty/099/99999": 0}, 100000)

    def bomb(path):
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
            archive.writestr("bin/client", LAUNCH)
            with archive.open("data/bomb.bin", "w", force_zip64=True) as entry:
                block = bytes(1 << 20)
                for _ in range(1024):
                    entry.write(block)
    yield ("bomb-1gib", "1 GiB of zeros deflated, past the space allowed", bomb,
           "Unable to extract zip entry: data/bomb.bin.", None, None)


# Where extraction succeeds but the package lacks the launch file, the install
# fails one step later.
PASS_MESSAGES = {"entries-100000": "Client executable was not found: {staging}/bin/client."}


def declared_bytes(path):
    """What the central directory says the entries hold, or -1 when it cannot be read."""
    try:
        with zipfile.ZipFile(path) as archive:
            return sum(info.file_size for info in archive.infolist())
    except (zipfile.BadZipFile, OSError, ValueError):
        return -1


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    listing = []
    for name, description, content, message, files, count in cases(out):
        path = os.path.join(out, name + ".zip")
        if callable(content):
            content(path)
        else:
            with open(path, "wb") as f:
                f.write(content)
        listing.append({"name": name, "description": description, "file": name + ".zip",
                        "message": message, "files": files or {}, "count": count,
                        "passMessage": PASS_MESSAGES.get(name, message),
                        "declaredBytes": declared_bytes(path)})
    with open(os.path.join(out, "cases.json"), "w") as f:
        json.dump(listing, f, indent=1)
    print("%d hostile archives in %s" % (len(listing), out))


if __name__ == "__main__":
    main()
