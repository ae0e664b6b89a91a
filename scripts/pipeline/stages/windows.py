# SPDX-License-Identifier: MIT
"""Windows: each executable signed as it ships, its .zip, its installer."""
import pathlib
import shutil

from ..artifacts import stage
from ..base import Stop, sha256


def authenticode(r, path, out):
    """Sign the Windows file PATH into OUT, with the key or a detached
    signature, and check it, keeping it as unsigned/NAME to sign elsewhere."""
    c, name = r.config, pathlib.Path(out).name
    unsigned, step = f"unsigned/{name}", f"authenticode-{name}"
    shutil.copy(r.publish / path, r.publish / unsigned)
    before = sha256(r.publish / unsigned)
    if c.code_key:
        with open(c.code_key) as key:  # on standard input only
            r.tool(step, "authenticode.py", "key", c.epoch, unsigned, out, f"signatures/{name}.sig", stdin=key)
        r.manifest.add(r.publish / f"signatures/{name}.sig", "detached-signature")
    elif c.signatures:
        signature = pathlib.Path(c.signatures) / f"{name}.sig"
        if not signature.is_file():
            raise Stop(f"authenticode: no {signature}: sign build/release-work/{unsigned} (sha256 {before}) and "
                       "detach its signature as that file")
        shutil.copy(signature, r.publish / "signatures")
        r.tool(step, "authenticode.py", "attach", f"signatures/{name}.sig", unsigned, out)
    else:
        shutil.copy(r.publish / unsigned, r.publish / out)
    r.say("authenticode", f"{name}: signed and checked; before signing, sha256 {before}"
          if c.signs_windows else f"{name}: unsigned, sha256 {before}")


@stage(takes=["binary"], makes=["exe", "detached-signature"])
def sign_windows(r):
    """In: the Windows binaries. Out: each .exe as it ships, signed (with the
    key, or a maintainer's detached signature) and checked, before anything
    packs it."""
    c = r.config
    if c.windows and not c.signs_windows:
        r.say("unsigned", "(no CLASSBANNER_AUTHENTICODE_KEY nor _SIGNATURES): the Windows .exe and .msi files")
    for t in c.windows:
        exe = f"windows/{c.stem}-{t}.exe"
        authenticode(r, r.manifest.find("binary", rows=[t])[0]["path"], exe)
        r.manifest.add(r.publish / exe, "exe", rows=[t])


@stage(takes=["exe", "zip-layout"], makes=["zip"])
def pack_zips(r):
    """In: the executables as they ship, CPack's .zip around each unsigned
    one. Out: each .zip, as CPack laid it out, around the one that ships."""
    c = r.config
    for t in c.windows:
        layout, exe = r.manifest.find("zip-layout", rows=[t])[0]["path"], r.manifest.find("exe", rows=[t])[0]["path"]
        out = f"dist/{pathlib.Path(layout).name}"
        r.tool(f"zip-{t}", "zip.py", layout, exe, out)
        r.manifest.add(r.publish / out, "zip", rows=[t])
        r.say("zip", f"{t}: {out}, around {exe}")


@stage(takes=["exe"], makes=["msi", "detached-signature"], optional=["previous"])
def build_msis(r):
    """In: the Windows executables as shipped, the previous MSIs. Out: an
    installer each, signed as they are, checked under wine as users take it."""
    c, before = r.config, []
    for item in [item for t in c.windows for item in r.manifest.find("exe", rows=[t])]:
        row, src = item["rows"][0], f"../{c.stem}"
        out, built = f"dist/{c.stem}-{row}.msi", f"scratch/{c.stem}-{row}.msi"
        r.tool(f"msi-{row}", "msi.py", built, c.version, c.epoch, c.table[row]["processor"],
               item["path"], f"{src}/LICENSE", f"{src}/README.md", f"{src}/packaging/classbanner.wxs")
        authenticode(r, built, out)
        earlier = [p["path"] for p in r.manifest.find("previous", rows=[row])]
        # Installed after the MSI before it was installed and removed, in the same prefix.
        r.tool(f"msi-{row}-check", "msi-check.sh", *(["--before", before[-1]] if before else []), out, item["path"],
               f"{src}/tests/banner.txt", *earlier)
        before.append(out)
        r.manifest.add(r.publish / out, "msi", rows=[row], root=c.first_suite)
        r.say("msi", f"{row}: {out}, installed" + (f" over {earlier[0][len('previous/'):]}" if earlier else "")
              + " and removed under wine")
