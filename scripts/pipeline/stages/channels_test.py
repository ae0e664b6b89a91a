# SPDX-License-Identifier: MIT
"""winget's and Scoop's manifests, made by the release's own tools from tiny
MSIs (msibuild) and .zip files made here: checked as made, the same bytes
when made again, and refused, naming the field, once an MSI or a .zip
changes under them; no manifests without a URL."""
import pathlib
import shutil
import subprocess
import sys
import tempfile
import zipfile

from ..config import TOP
from ..fakes import done, expect, fake_run
from .build import build_rows, pack_source
from .channels import write_channels
from .windows import build_msis, pack_zips, sign_windows

TOOLS, URL = TOP / "scripts/pipeline/tools", "https://example.org/classbanner"
ROWS = {"win64": ("x64;1033", 0x8664, "{EA6836F6-1A3F-58A1-A5AD-4A8A60448F89}"),
        "win32": ("Intel;1033", 0x14c, "{34D5A06D-CEBF-52EC-B38E-3B76A73C8775}")}


def msi(path, template, upgrade):
    """A tiny MSI: its summary's template, and a Property table as wixl writes one."""
    table = path.with_suffix(".idt")
    table.write_text("Property\tValue\ns72\tl0\nProperty\tProperty\n" + "".join(
        f"{k}\t{v}\n" for k, v in (("ProductCode", "{8E985043-C3F9-5D24-B546-18F32E794F77}"),
                                   ("UpgradeCode", upgrade), ("ProductVersion", "0.0.1"),
                                   ("ProductName", "classbanner"), ("Manufacturer", "classbanner maintainers"))))
    path.unlink(missing_ok=True)
    for args in (["-i", table], ["-s", "classbanner", "classbanner maintainers", template]):
        subprocess.run(["msibuild", path, *args], check=True)
    table.unlink()


def exe(machine):
    """The start of a PE executable: enough for its processor to be read."""
    return b"MZ" + bytes(0x3a) + (0x40).to_bytes(4, "little") + b"PE\0\0" + machine.to_bytes(2, "little")


def tool(name, dist):
    return subprocess.run([sys.executable, TOOLS / name, URL, "0.0.1", dist], capture_output=True, text=True)


with tempfile.TemporaryDirectory() as tmp:
    dist = pathlib.Path(tmp) / "dist"
    dist.mkdir()
    for row, (template, machine, upgrade) in ROWS.items():
        msi(dist / f"classbanner-0.0.1-{row}.msi", template, upgrade)
        with zipfile.ZipFile(dist / f"classbanner-0.0.1-{row}.zip", "w") as packed:
            packed.writestr(f"classbanner-0.0.1-{row}/classbanner.exe", exe(machine))
    made = tool("channels.py", dist)
    checked = tool("channels-check.py", dist)
    expect(f"manifests made from good files do not check: {made.stderr}{checked.stderr}",
           made.returncode == 0 and checked.returncode == 0)
    first = {p.name: p.read_bytes() for p in dist.iterdir() if p.suffix in (".yaml", ".json")}
    expect(f"not four manifests: {sorted(first)}", len(first) == 4)
    tool("channels.py", dist)
    expect("manifests made twice differ", first == {name: (dist / name).read_bytes() for name in first})

    saved = pathlib.Path(tmp) / "saved"
    shutil.copytree(dist, saved)

    def remade(template, upgrade):
        return lambda: msi(dist / "classbanner-0.0.1-win64.msi", template, upgrade)
    for what, change, field in (
            ("an MSI with another upgrade code", remade("x64;1033", "{00000000-1A3F-58A1-A5AD-4A8A60448F89}"),
             "Installers[1].AppsAndFeaturesEntries.UpgradeCode"),
            ("an MSI for another processor", remade("Intel;1033", ROWS["win64"][2]), "Installers[1].Architecture"),
            ("a .zip changed", lambda: shutil.copy(dist / "classbanner-0.0.1-win32.zip",
                                                   dist / "classbanner-0.0.1-win64.zip"),
             "architecture.64bit.hash")):
        change()
        said = tool("channels-check.py", dist)
        expect(f"{what}: the check does not fail naming {field}: {said.stderr}",
               said.returncode == 1 and f": {field}: " in said.stderr)
        shutil.rmtree(dist)
        shutil.copytree(saved, dist)

for url in (URL, None):
    with fake_run([pack_source, build_rows, sign_windows, pack_zips, build_msis, write_channels], url=url) as r:
        made = sorted(item["path"] for kind in ("winget", "scoop") for item in r.manifest.find(kind))
        expect(f"with the URL {url}, the manifests made are {made}", len(made) == (4 if url else 0)
               and (r.work / "channels-check.log").exists() == bool(url))

done("channels")
