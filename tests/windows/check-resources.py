#!/usr/bin/env python3
"""Reads the Windows resources back from the built programs: the subsystem
(GUI for IvraLauncher.exe, console for ivra-update.exe), the version record
(text and numeric, from the build's version), the icon group's five sizes and
the asInvoker manifest.

Usage: check-resources.py DIST_DIR VERSION
"""
import struct
import sys

import pefile

dist, version = sys.argv[1], sys.argv[2]
numeric = tuple(int(p) for p in version.split(".")) + (0,)
failures = []
GUI, CONSOLE = 2, 3
RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24


def resource(pe, kind):
    """The data of each resource of a kind."""
    found = []
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id != kind:
            continue
        for name in entry.directory.entries:
            for language in name.directory.entries:
                rva, size = language.data.struct.OffsetToData, language.data.struct.Size
                found.append(pe.get_data(rva, size))
    return found


for program, subsystem in (("IvraLauncher", GUI), ("ivra-update", CONSOLE)):
    pe = pefile.PE("%s/%s.exe" % (dist, program))
    where = program + ".exe"
    if pe.OPTIONAL_HEADER.Subsystem != subsystem:
        failures.append("%s: subsystem %d, not %d" % (where, pe.OPTIONAL_HEADER.Subsystem, subsystem))
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for block in info:
            for table in getattr(block, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    for key, want in (("FileVersion", version), ("ProductVersion", version),
                      ("ProductName", "IVRA ENGINE 2.0 Beta"),
                      ("FileDescription", "IVRA ENGINE 2.0 Beta"), ("InternalName", program)):
        if strings.get(key) != want:
            failures.append("%s: %s is %r, not %r" % (where, key, strings.get(key), want))
    fixed = pe.VS_FIXEDFILEINFO[0]
    got = (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
           fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF)
    if got != numeric:
        failures.append("%s: numeric FileVersion %s, not %s" % (where, got, numeric))
    groups = resource(pe, RT_GROUP_ICON)
    sizes = []
    if groups:
        count = struct.unpack_from("<HHH", groups[0])[2]
        for i in range(count):
            width, height, _, _, _, bits = struct.unpack_from("<BBBBHH", groups[0], 6 + 14 * i)
            sizes.append((width or 256, height or 256, bits))
    if sorted(sizes) != [(s, s, 32) for s in (16, 32, 48, 64, 128)]:
        failures.append("%s: icon group %s" % (where, sizes))
    manifests = resource(pe, RT_MANIFEST)
    if not manifests or b'level="asInvoker"' not in manifests[0]:
        failures.append("%s: no asInvoker manifest" % where)

for failure in failures:
    print("FAIL: " + failure)
print("resources: %s" % ("all checks passed" if not failures else "%d failed" % len(failures)))
sys.exit(1 if failures else 0)
