# SPDX-License-Identifier: MIT
"""The previous release, which this one continues: checked before anything
is built, its repositories and MSIs then taken in."""
import re
import shutil
import subprocess

from ..artifacts import stage
from ..base import Skip, Stop
from ..keys import held, signed_sums


@stage(makes=["previous"], only="release")
def check_previous(r):
    """In: PREVIOUS, the previous release's dist/. Out: its
    repositories and MSIs, checked before anything is built: signed by this
    release's key, against SHA256SUMS and the repositories' signed indexes."""
    c = r.config
    folder = c.previous
    if not folder:
        raise Skip("(no CLASSBANNER_PREVIOUS): the first release of its line")
    try:
        sums = signed_sums(folder, c.fingerprints, "the previous release's ", missing_ok=True)
    except Stop as stop:  # its users trust only its keys: a new key signs beside the old one first
        raise Stop(f"{stop}" + ("; a new key must first sign a release beside the old one (docs/releasing.md)"
                                if "not signed by" in str(stop) else ""))
    version = next((m.group(1) for n in sums for m in [re.fullmatch(r"classbanner-([0-9][^-]*)\.tar\.gz", n)] if m),
                   None)
    debian = next((n[len("classbanner_"):-len(".dsc")] for n in sums if re.fullmatch(r"classbanner_.*\.dsc", n)), None)
    if not (version and debian):
        raise Stop(f"{folder}/SHA256SUMS: lists no source archive or no .dsc: not a release's folder")
    if subprocess.run(["dpkg", "--compare-versions", debian, "lt", c.debian_version]).returncode:
        raise Stop(f"{folder}: is version {debian}, not older than this release's {c.debian_version}")
    packages = held(folder, c.fingerprints, folder / "classbanner-signing-key.asc")
    for kind in ("apt", "rpm"):
        shutil.copytree(folder / kind, r.publish / "previous" / kind)
    for row in c.windows:
        if f"classbanner-{version}-{row}.msi" in sums:
            shutil.copy(folder / f"classbanner-{version}-{row}.msi", r.publish / "previous")
    for path in sorted(p for p in (r.publish / "previous").rglob("*") if p.is_file()):
        row = re.fullmatch(rf"classbanner-{re.escape(version)}-(.*)\.msi", path.name)
        r.manifest.add(path, "previous", version=version, debian=debian, rows=[row.group(1)] if row else [])
    r.say("previous", f"{debian}, signed by {' or '.join(c.fingerprints)}: {len(sums)} downloads and "
          f"{len(packages)} packages of its repositories checked")
