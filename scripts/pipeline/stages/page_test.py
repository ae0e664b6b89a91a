# SPDX-License-Identifier: MIT
"""The release's page against fake roots, rendered by its real tool: the
data lists every download made before it, with its platform, size and
SHA-256, and names the summaries made after it by file alone; each platform
has its box; the page shows every name and command, links relatively, and
is the same bytes when made again; earlier versions' packages are folded
away."""
import contextlib
import io
import json
import runpy
import subprocess
import sys
import types
import unittest

from ..config import TOP
from ..run_test import Case, fake, fake_run, real
from . import SEQUENCE, channels_test, debian_test, image_test, keyrings_test  # noqa: F401 (their fakes)
from .build import make_roots
from .page import PLANTED, write_page

STAGES = SEQUENCE[SEQUENCE.index(make_roots) + 1:SEQUENCE.index(write_page) + 1]
URL = "https://classbanner.example/download"


real("page.py")  # it only renders


@fake("gpg")
def show_keys(roots, root, here, args):
    return "pub:-:255:22:AAAA:1765000000:::-:::scESC::::::23::0:\nfpr:::::::::" + "A" * 40 + ":\n" \
           "sub:-:255:18:BBBB:1765000000::::::e::::::23:\nfpr:::::::::" + "B" * 40 + ":\n"


class Page(Case):
    @classmethod
    def setUpClass(cls):
        cls.running = fake_run(STAGES, url=URL, targets=("amd64", "mipsel", "win64", "win32"))
        cls.r = cls.running.__enter__()
        cls.shown = json.loads((cls.r.publish / "dist/classbanner-0.0.1.json").read_text())
        cls.page = (cls.r.publish / "dist/index.html").read_text()

    @classmethod
    def tearDownClass(cls):
        cls.running.__exit__(None, None, None)

    def test_every_download_made_before_it(self):
        listed = [d["name"] for d in self.shown["downloads"]]
        made = [i["path"][5:] for i in self.r.manifest.items
                if i["download"] and i["kind"] not in ("page", "download-index")]
        self.assertEqual(sorted(listed), sorted(made))
        for d in self.shown["downloads"]:
            path = self.r.publish / "dist" / d["name"]
            self.assertEqual((d["size"], d["url"]), (path.stat().st_size, f"{URL}/{d['name']}"), d["name"])

    def test_platforms_as_users_name_them(self):
        found = {d["name"]: (d["os"], d["arch"]) for d in self.shown["downloads"]}
        self.assertEqual(found["classbanner-0.0.1-win32.msi"], ("Windows", "x86"))
        self.assertEqual(found["classbanner-0.0.1-win64.zip"], ("Windows", "x64"))
        self.assertEqual(found["classbanner_0.0.1-1_mipsel.deb"], ("Linux", "mipsel"))
        self.assertEqual(found["classbanner-0.0.1-oci.tar"], ("Linux", "amd64, mipsel"))
        self.assertEqual(found["classbanner-archive-keyring_0.0.1-1_all.deb"], ("Debian, Ubuntu", "all"))
        self.assertEqual(found["classbanner-0.0.1.tar.gz"], ("any", "source"))

    def test_a_box_for_each_platform(self):
        boxes = {b["id"]: b for b in self.shown["boxes"]}
        self.assertEqual(list(boxes), ["windows", "debian", "fedora", "linux", "containers"])
        self.assertEqual(boxes["debian"]["commands"], ["apt-get install ./classbanner-archive-keyring_0.0.1-1_all.deb",
                                                       "apt-get update && apt-get install classbanner"])
        self.assertIn(f"scoop install {URL}/classbanner.json", boxes["windows"]["commands"])

    def test_summaries_named_not_hashed(self):
        self.assertEqual(self.shown["summaries"]["sbom"], "classbanner-0.0.1.cdx.json")
        self.assertNotIn("classbanner-0.0.1.cdx.json", [d["name"] for d in self.shown["downloads"]])
        self.assertEqual(self.shown["fingerprints"], ["A" * 40], "the primary keys' fingerprints alone")

    def test_page_shows_every_name_and_command_and_links_relatively(self):
        for d in self.shown["downloads"]:
            self.assertIn(f'<a href="{d["name"]}">', self.page)
            self.assertIn(d["sha256"], self.page)
        for command in (c for b in self.shown["boxes"] for c in b["commands"]):
            self.assertIn(command.replace("&", "&amp;"), self.page)
        self.assertNotIn('href="http', self.page)
        self.assertNotIn('src="http', self.page)
        self.assertLess(len(self.page.encode()), 64 << 10)

    def test_same_bytes_made_again(self):
        with fake_run(STAGES, url=URL, targets=("amd64", "mipsel", "win64", "win32")) as again:
            self.assertEqual((again.publish / "dist/index.html").read_text(), self.page)

    def test_earlier_versions_folded_away(self):
        shown = dict(self.shown, earlier=["apt/pool/main/classbanner_0.0.0-1_amd64.deb"])
        index = self.folder() / "index.json"
        index.write_text(json.dumps(shown))
        subprocess.run([sys.executable, TOP / "scripts/pipeline/tools/page.py", index, index.with_suffix(".html")],
                       check=True)
        self.assertIn('<details><summary>The packages of earlier versions', index.with_suffix(".html").read_text())


def page_check():
    """The browser check's own code, whose checks of the page's text run here without a browser."""
    return types.SimpleNamespace(**runpy.run_path(str(TOP / "scripts/pipeline/tools/page-check.py")))


class PageCheck(Case):
    """The check's reading of the page's text: it passes the page as made,
    and names the link or the file of each fault planted that it can see
    without a browser."""

    @classmethod
    def setUpClass(cls):
        cls.running = fake_run(STAGES, url=URL)
        cls.r = cls.running.__enter__()
        cls.dist = cls.r.publish / "dist"
        for name in ("SHA256SUMS", "SHA256SUMS.asc", "classbanner-signing-key.asc", "classbanner-provenance-key.pem",
                     "classbanner-0.0.1.cdx.json", "classbanner-0.0.1.intoto.jsonl"):
            (cls.dist / name).write_text("made after the page")
        cls.shown = json.loads((cls.dist / "classbanner-0.0.1.json").read_text())

    @classmethod
    def tearDownClass(cls):
        cls.running.__exit__(None, None, None)

    def faults(self, page):
        checking, said = page_check(), io.StringIO()
        planted = self.folder() / "index.html"
        planted.write_text(page)
        with contextlib.redirect_stderr(said):
            checking.static(self.dist, planted, self.shown)
        return checking.faults, said.getvalue()

    def test_page_as_made(self):
        self.assertEqual(self.faults((self.dist / "index.html").read_text())[0], [])

    def test_planted_faults_named(self):
        page = (self.dist / "index.html").read_text()
        for what, plant, naming in (PLANTED[0], PLANTED[1], PLANTED[3]):  # the image's is axe-core's to find
            with self.subTest(what):
                faults, said = self.faults(plant(page, self.shown["downloads"]))
                self.assertTrue(faults)
                self.assertIn(naming(self.shown["downloads"]), said)


if __name__ == "__main__":
    unittest.main()
