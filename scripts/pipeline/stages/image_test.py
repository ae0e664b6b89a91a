# SPDX-License-Identifier: MIT
"""The container image against fake roots: one archive over every Linux
row's binary, made and checked, and no Windows row in it."""
from ..fakes import done, expect, fake_run
from .build import build_rows, pack_source
from .image import build_image

with fake_run([pack_source, build_rows, build_image]) as r:
    oci = r.manifest.find("oci")
    expect(f"image: {oci}", [(i["path"], i["rows"]) for i in oci] == [
        ("dist/classbanner-0.0.1-oci.tar", ["amd64", "mipsel"])])
    made = [c[2:] for _, tool, c in r.roots.ran if tool == "image.sh"]
    expect(f"image: made of {made}", made and made[0][-2:] == ["linux/amd64=binaries/amd64",
                                                               "linux/mipsle=binaries/mipsel"])
    expect("image: not checked", (r.work / "image-check.log").exists())
done("image")
