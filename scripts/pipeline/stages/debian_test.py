# SPDX-License-Identifier: MIT
"""The Debian source package against fake roots: its three files, lintian
over them and every .deb, the autopkgtest over this machine's .deb alone."""
from ..fakes import done, expect, fake_run
from .build import build_rows, pack_source
from .debian import build_debian_source

with fake_run([pack_source, build_rows, build_debian_source]) as r:
    made = sorted(item["path"] for item in r.manifest.find("debian-source"))
    expect(f"debian: the source package is {made}", made == [
        "dist/classbanner_0.0.1-1.debian.tar.xz", "dist/classbanner_0.0.1-1.dsc", "dist/classbanner_0.0.1.orig.tar.gz"])
    lintian = [c for _, tool, c in r.roots.ran if tool == "deb-check.sh" and c[1] == "lintian"]
    expect(f"debian: lintian ran {lintian}", [c[2:] for c in lintian] == [[
        "dist/classbanner_0.0.1-1.dsc", "dist/classbanner_0.0.1-1_amd64.deb", "dist/classbanner_0.0.1-1_mipsel.deb"]])
    autopkgtest = [c for _, tool, c in r.roots.ran if tool == "autopkgtest"]
    expect(f"debian: autopkgtest ran {autopkgtest}", [c[1] for c in autopkgtest] == [
        "dist/classbanner_0.0.1-1_amd64.deb"])
done("debian")
