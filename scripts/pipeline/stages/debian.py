# SPDX-License-Identifier: MIT
"""Debian: the source package over the source archive, lintian over it and
every .deb, the autopkgtest."""
import shutil

from ..artifacts import stage
from ..roots import AS_ROOT


@stage(takes=["source", "deb"], makes=["debian-source"])
def build_debian_source(r):
    """In: the source archive, the .deb files. Out: the source package over it,
    lintian-clean with every .deb; the autopkgtest run with this machine's .deb."""
    c = r.config
    orig = f"classbanner_{c.version}.orig.tar.gz"
    shutil.copy(r.publish / r.manifest.find("source")[0]["path"], r.publish / "scratch" / orig)
    r.step("debian-unpack", c.first_suite, "publish/scratch", "tar", "-xzf", orig)
    r.step("debian-source", c.first_suite, "publish/scratch", "dpkg-source", "-b", c.stem)
    made = [orig, f"classbanner_{c.debian_version}.debian.tar.xz", f"classbanner_{c.debian_version}.dsc"]
    for name in made:
        shutil.copy(r.publish / "scratch" / name, r.publish / "dist")
        r.manifest.add(r.publish / "dist" / name, "debian-source")
    debs = [item["path"] for item in r.manifest.find("deb")]
    r.tool("debian-lintian", "deb-check.sh", "lintian", f"dist/{made[-1]}", *debs)
    ours = [item["path"] for item in r.manifest.find("deb", rows=[c.native], root=c.first_suite)]
    if ours:  # su and apt change user and groups: as root, no user namespace, which maps root alone
        r.step("debian-autopkgtest", c.first_suite, "publish", "autopkgtest", *ours, f"dist/{made[-1]}", "--", "null",
               namespaces=None if AS_ROOT else ["--mount", "--pid", "--fork"])
        r.step("debian-purge", c.first_suite, ".", "dpkg", "--purge", "classbanner")
    r.say("debian", f"dist/{made[-1]}; lintian: {len(debs)} .deb and the source clean"
          + (f"; autopkgtest passed over {ours[0][len('dist/'):]}" if ours else ""))
