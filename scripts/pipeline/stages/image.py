# SPDX-License-Identifier: MIT
"""The container image: one OCI archive over every Linux row's binary."""
from ..artifacts import stage
from ..base import Skip


@stage(takes=["binary"], makes=["oci"])
def build_image(r):
    """In: the Linux binaries. Out: one OCI image archive over all of them."""
    c = r.config
    binaries = [item for t in c.targets for item in r.manifest.find("binary", rows=[t]) if item["platform"] != "-"]
    if not binaries:
        raise Skip("no Linux row: no image")
    platforms, archive = [f"{item['platform']}={item['path']}" for item in binaries], f"dist/{c.stem}-oci.tar"
    r.tool("image", "image.sh", archive, c.version, c.epoch, f"../{c.stem}/LICENSE",
           *platforms)
    r.tool("image-check", "image-check.sh", archive, c.version, f"../{c.stem}/tests/banner.txt",
           *platforms)
    r.manifest.add(r.publish / archive, "oci", rows=[row for item in binaries for row in item["rows"]])
    r.say("image", f"{len(binaries)} platform{'s' if len(binaries) > 1 else ''}: {archive}")
