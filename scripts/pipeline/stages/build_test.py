# SPDX-License-Identifier: MIT
"""The build's stages against fake roots: the source archive, each row's
binary and packages with what they record, the build information; a log
per step; a failing step stopping the release with its own log's cause, and
a row with its tests' (told from ctest's JUnit report)."""
import hashlib
import unittest
import zipfile

from ..base import Stop
from ..run_test import PASSED, Case, fake, fake_run, finished
from .build import build_rows, pack_source, write_buildinfo


def target(args):
    """The row a tool run under env CLASSBANNER_TARGET=ROW builds, and its build folder's name."""
    row = args[0].split("=")[-1]
    return row, f"build/target-{row}"


@fake("git clone")
def git_clone(roots, root, here, args):
    (here / args[-1]).mkdir()


@fake("git")
def git_archive(roots, root, here, args):
    (here / args[3].split("=")[1]).write_bytes(b"source")


@fake("gzip")
def gzip(roots, root, here, args):
    (here / args[-1]).rename(here / f"{args[-1]}.gz")


@fake("cmake")
def cmake(roots, root, here, args):
    row, out = target(args)
    if "--build" in args:
        (here / out / ("classbanner.exe" if row.startswith("win") else "classbanner")).write_bytes(row.encode())
    else:
        (here / out).mkdir(parents=True)


@fake("ctest")
def ctest(roots, root, here, args):
    (here / target(args)[1] / "junit.xml").write_text(roots.junit)


@fake("cpack")
def cpack(roots, root, here, args):
    row, out = target(args)
    if row.startswith("win"):
        with zipfile.ZipFile(here / out / f"classbanner-0.0.1-{row}.zip", "w") as layout:
            for entry in ("classbanner.exe", "LICENSE"):
                layout.writestr(zipfile.ZipInfo(f"classbanner-0.0.1-{row}/{entry}", (2026, 1, 2, 3, 4, 6)),
                                (here / out / entry).read_bytes() if entry.endswith(".exe") else b"MIT")
        return
    for package in (f"classbanner-0.0.1-linux-{row}.tar.gz", f"classbanner-0.0.1-1.{row}.rpm"):
        (here / out / package).write_bytes(package.encode())


@fake("static-parts.sh")
def static_parts(roots, root, here, args):
    return "".join(f"Part: {part}\nLicense: MIT\nPackage: {part}\nArchitecture: {args[0]}\nVersion: 1-2\n"
                   f"Source: {part}-src\nSource-Version: 1-2\n\n" for part in ("musl", "libgcc"))


@fake("dpkg-buildpackage")
def dpkg_buildpackage(roots, root, here, args):
    (here / f"../classbanner_0.0.1-1_{args[-1][2:]}.deb").write_bytes(args[-1].encode())


class Build(Case):
    @classmethod
    def setUpClass(cls):
        cls.running = fake_run([pack_source, build_rows, write_buildinfo])
        cls.r = cls.running.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.running.__exit__(None, None, None)

    def paths(self, kind, **match):
        return sorted(item["path"] for item in self.r.manifest.find(kind, **match))

    def test_a_log_per_step(self):
        logs = sorted(p.stem for p in self.r.work.glob("*.log"))
        steps = [tool for _, tool, _ in self.r.roots.ran if tool not in ("static-parts.sh", "dpkg-query")]  # data
        self.assertEqual(len(logs), len(steps))

    def test_source_archive(self):
        self.assertEqual([(i["path"], i["root"]) for i in self.r.manifest.find("source")],
                         [("dist/classbanner-0.0.1.tar.gz", "trixie")])

    def test_binary_records_its_static_parts(self):
        amd64 = self.r.manifest.find("binary", rows=["amd64"])[0]
        self.assertEqual((amd64["root"], amd64["platform"]), ("trixie", "linux/amd64"))
        self.assertEqual(amd64["static"][0], {"part": "musl", "license": "MIT", "package": "musl",
                                              "architecture": "amd64", "version": "1-2", "source": "musl-src",
                                              "source_version": "1-2"})

    def test_packages_of_each_row(self):
        self.assertEqual(self.paths("deb"), ["dist/classbanner_0.0.1-1_amd64.deb",
                                             "dist/classbanner_0.0.1-1_mipsel.deb"])
        self.assertEqual(self.paths("tar.gz", root="bookworm"), ["dist/classbanner-0.0.1-linux-mipsel.tar.gz"])
        self.assertEqual(self.paths("rpm", rows=["amd64"]), ["dist/classbanner-0.0.1-1.amd64.rpm"])
        self.assertEqual(self.paths("zip-layout"), ["scratch/classbanner-0.0.1-win64.zip"])

    def test_buildinfo_names_the_archive_and_each_roots_packages(self):
        info = (self.r.publish / "dist/classbanner-0.0.1.buildinfo").read_text()
        head, trixie, bookworm = (info.split("\n\n") + ["", ""])[:3]
        self.assertIn(f"\n {hashlib.sha256(b'source').hexdigest()} 6 classbanner-0.0.1.tar.gz\n", head)
        self.assertEqual(trixie, "Root: trixie\nDebian-Version: 13.1\nTargets: amd64 win64\nInstalled-Packages:\n"
                         " apt:amd64 (= 3.0)\n zlib1g:amd64 (= 1:1.3)")
        self.assertEqual(bookworm, "Root: bookworm\nDebian-Version: 12.11\nTargets: mipsel\nInstalled-Packages:\n"
                         " musl:mipsel (= 1.2.3)\n")


class Failures(Case):
    """A failing step stops the release with its own cause, and a row with its tests'."""

    def stops(self, want, fail, junit=PASSED):
        self.assertStops(want, finished, [pack_source, build_rows], answers={"fail": fail, "junit": junit})

    def test_failed_test_names_itself_and_its_last_lines(self):
        junit = PASSED.replace('"executable" status="run"/>', '"executable" status="fail"><system-out>' + "".join(
            f"line {n}\n" for n in range(12)) + 'FAIL linux executable: not for ARMX</system-out></testcase>')
        with self.assertRaises(Stop) as stopped:
            finished([pack_source, build_rows],
                     answers={"fail": {"ctest": "ctest says nothing a release reads\n"}, "junit": junit})
        self.assertTrue(str(stopped.exception).startswith(
            "amd64-test: tests failed: executable\n" + "".join(f"  executable: line {n}\n" for n in range(5, 12))
            + "  executable: FAIL linux executable: not for ARMX (log: "), stopped.exception)

    def test_skipped_test(self):
        self.stops("amd64: tests skipped: executable (log: ", {},
                   PASSED.replace('status="run"/></', 'status="notrun"/></'))

    def test_configure_says_cmakes_error(self):
        self.stops("amd64-configure: musl for amd64 is not installed (log: ", {
            "cmake --preset": "CMake Error at cmake/target.cmake:50 (message):\n  musl for amd64 is not installed\n"})


if __name__ == "__main__":
    unittest.main()
