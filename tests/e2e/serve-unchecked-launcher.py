#!/usr/bin/env python3
"""Puts a launcher package into a release tree the way a host could still
serve one that ivra-release refuses to publish (shell scripts, a build that
exits at once or hangs): the package beside the published ones, and the
Gateway manifest of the tree naming it as the latest version for
linux-x86_64. The tree must hold an unsigned Gateway manifest already.

Usage: serve-unchecked-launcher.py TREE VERSION FOLDER
"""
import hashlib
import json
import os
import sys
import zipfile

tree, version, folder = sys.argv[1:4]
manifest_path = os.path.join(tree, "releases", "manifests", "gateway-demo.json")
with open(manifest_path) as f:
    manifest = json.load(f)
relative = "releases/gateway/demo/IvraGateway_demo_%s_linux-x86_64.zip" % version
package = os.path.join(tree, relative)
os.makedirs(os.path.dirname(package), exist_ok=True)
with zipfile.ZipFile(package, "w", zipfile.ZIP_DEFLATED) as z:
    for name in sorted(os.listdir(folder)):
        info = zipfile.ZipInfo(name)
        info.external_attr = (0o100755 << 16)
        info.create_system = 3
        with open(os.path.join(folder, name), "rb") as f:
            z.writestr(info, f.read())
with open(package, "rb") as f:
    data = f.read()
old = manifest["packages"]["linux-x86_64"]["url"]
url = old[:old.index("releases/gateway/")] + relative
manifest["latestVersion"] = version
manifest["packages"]["linux-x86_64"] = {"url": url, "sha256": hashlib.sha256(data).hexdigest(),
                                        "sizeBytes": len(data)}
if manifest.get("installerUrl") == old:
    manifest["installerUrl"] = url
    manifest["installerSha256"] = manifest["packages"]["linux-x86_64"]["sha256"]
with open(manifest_path + ".new", "w") as f:
    json.dump(manifest, f, indent=2)
os.replace(manifest_path + ".new", manifest_path)
