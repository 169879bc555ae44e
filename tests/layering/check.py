#!/usr/bin/env python3
"""The layers hold: no include circle between the source folders, no file of
the core or pass libraries includes a window header, and a file of the pass
library that tries cannot even be compiled.

Usage: check.py SOURCE_DIR BUILD_DIR
"""
import re
import subprocess
import sys

source, build = sys.argv[1], sys.argv[2]
failures = []
files = subprocess.run(["git", "-C", source, "ls-files", "*.cpp", "*.h"], check=True,
                       capture_output=True, text=True).stdout.split()
library_folders = {"app", "base", "platform", "release", "net", "storage", "install", "pass",
                   "releasetool", "ui"}

edges = {}
for name in files:
    folder = name.split("/")[0]
    if folder not in library_folders:
        continue
    text = open(f"{source}/{name}", encoding="utf-8").read()
    # A program's entry point sits on top of everything; it is nobody's dependency.
    if re.search(r"^int main\(", text, re.M):
        continue
    includes = re.findall(r'^#include "(\w+)/', text, re.M)
    if folder != "ui" and ("ui" in includes or re.search(r'^#include "ui_', text, re.M)):
        failures.append(f"{name} includes a window header")
    for included in includes:
        if included != folder and included in library_folders:
            edges.setdefault(folder, set()).add(included)

def circle_from(start):
    stack = [(start, [start])]
    while stack:
        node, path = stack.pop()
        for nxt in edges.get(node, ()):
            if nxt == start:
                return path + [nxt]
            if nxt not in path:
                stack.append((nxt, path + [nxt]))
    return None

for folder in sorted(edges):
    circle = circle_from(folder)
    if circle:
        failures.append("include circle: " + " -> ".join(circle))
        break

probe = subprocess.run(["cmake", "--build", build, "--target", "ivra_layering_probe"],
                       capture_output=True, text=True)
if probe.returncode == 0:
    failures.append("the pass library compiled a file that includes ui/mainwindow.h")
elif "QMainWindow" not in probe.stdout + probe.stderr:
    failures.append("the probe failed for another reason:\n" + probe.stdout + probe.stderr)

for line in sorted(edges):
    print(f"{line} -> {' '.join(sorted(edges[line]))}")
for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
