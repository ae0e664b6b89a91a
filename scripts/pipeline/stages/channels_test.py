# SPDX-License-Identifier: MIT
"""winget's and Scoop's manifests, made by the release's own tools from tiny
MSIs (msibuild) and .zip files made here: checked as made, the same bytes
when made again, and refused, naming the field, once an MSI or a .zip
changes under them; no manifests without a URL."""
import shutil
import subprocess
import sys
import unittest
import zipfile

from ..config import TOP
from ..run_test import Case, fake, fake_run
from . import windows_test  # noqa: F401 (its fakes, and the build's)
from .build import build_rows, pack_source
from .channels import write_channels
from .windows import build_msis, pack_zips, sign_windows

TOOLS, URL = TOP / "scripts/pipeline/tools", "https://example.org/classbanner"
# Each row's template, processor, upgrade code and product code, each its own.
ROWS = {"win64": ("x64;1033", 0x8664, "{EA6836F6-1A3F-58A1-A5AD-4A8A60448F89}",
                  "{8E985043-C3F9-5D24-B546-18F32E794F77}"),
        "win32": ("Intel;1033", 0x14c, "{34D5A06D-CEBF-52EC-B38E-3B76A73C8775}",
                  "{0F1D1E4C-5A36-5D0B-8C52-2B1D6E2F3A40}")}


def msi(path, template, upgrade, product):
    """A tiny MSI: its summary's template, and a Property table as wixl writes one."""
    table = path.with_suffix(".idt")
    table.write_text("Property\tValue\ns72\tl0\nProperty\tProperty\n" + "".join(
        f"{k}\t{v}\n" for k, v in (("ProductCode", product),
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


@fake("channels.py")
def channels(roots, root, here, args):
    for name in ("classbanner.classbanner.yaml", "classbanner.classbanner.installer.yaml",
                 "classbanner.classbanner.locale.en-US.yaml", "classbanner.json"):
        (here / args[-1] / name).write_text(args[0])


class Manifests(Case):
    """The tools themselves, over two rows' tiny MSIs and .zip files."""

    def setUp(self):
        self.dist = self.folder() / "dist"
        self.dist.mkdir()
        for row, (template, machine, upgrade, product) in ROWS.items():
            msi(self.dist / f"classbanner-0.0.1-{row}.msi", template, upgrade, product)
            with zipfile.ZipFile(self.dist / f"classbanner-0.0.1-{row}.zip", "w") as packed:
                packed.writestr(f"classbanner-0.0.1-{row}/classbanner.exe", exe(machine))
        made = tool("channels.py", self.dist)
        self.assertEqual(made.returncode, 0, made.stderr)

    def test_made_checked_and_the_same_when_made_again(self):
        checked = tool("channels-check.py", self.dist)
        self.assertEqual(checked.returncode, 0, checked.stderr)
        first = {p.name: p.read_bytes() for p in self.dist.iterdir() if p.suffix in (".yaml", ".json")}
        self.assertEqual(len(first), 4)
        tool("channels.py", self.dist)
        self.assertEqual(first, {name: (self.dist / name).read_bytes() for name in first})

    def refused(self, change, field):
        change()
        said = tool("channels-check.py", self.dist)
        self.assertEqual(said.returncode, 1, said.stderr)
        self.assertIn(f": {field}: ", said.stderr)

    def test_msi_with_another_upgrade_code(self):
        self.refused(lambda: msi(self.dist / "classbanner-0.0.1-win64.msi", "x64;1033",
                                 "{00000000-1A3F-58A1-A5AD-4A8A60448F89}", ROWS["win64"][3]),
                     "Installers[1].AppsAndFeaturesEntries.UpgradeCode")

    def test_msi_for_another_processor(self):
        self.refused(lambda: msi(self.dist / "classbanner-0.0.1-win64.msi", "Intel;1033", *ROWS["win64"][2:]),
                     "Installers[1].Architecture")

    def test_manifest_naming_the_other_msis_product_code(self):
        def swap():
            path = self.dist / "classbanner.classbanner.installer.yaml"
            path.write_text(path.read_text().replace(ROWS["win64"][3], ROWS["win32"][3], 1))
        self.refused(swap, "Installers[1].ProductCode")

    def test_zip_changed(self):
        self.refused(lambda: shutil.copy(self.dist / "classbanner-0.0.1-win32.zip",
                                         self.dist / "classbanner-0.0.1-win64.zip"), "architecture.64bit.hash")


class Stage(Case):
    def test_manifests_only_with_a_url(self):
        stages = [pack_source, build_rows, sign_windows, pack_zips, build_msis, write_channels]
        with fake_run(stages, url=URL) as r:
            self.assertEqual(len([i for kind in ("winget", "scoop") for i in r.manifest.find(kind)]), 4)
            self.assertTrue((r.work / "channels-check.log").exists(), "the manifests are checked")
        with fake_run(stages, url=None) as r:
            self.assertFalse(r.manifest.find("winget") + r.manifest.find("scoop"))
            self.assertIn("write_channels skipped: (no CLASSBANNER_URL", r.said)


if __name__ == "__main__":
    unittest.main()
