# SPDX-License-Identifier: MIT
"""The build's stages against fake roots: the source archive, each row's
binary and packages with what they record, the build information; a log
per step; a failing step stopping the release with its own log's cause, and
a row with its tests' (told from ctest's JUnit report)."""
import hashlib

from ..fakes import PASSED, done, expect, fake_run, faults
from ..release import STAGES
from ..artifacts import Stop
from .build import build_rows, make_roots, pack_source, write_buildinfo

with fake_run([pack_source, build_rows, write_buildinfo]) as r:
    m = r.manifest

    def paths(kind, **match):
        return sorted(item["path"] for item in m.find(kind, **match))
    logs = sorted(p.stem for p in r.work.glob("*.log"))
    steps = [tool for _, tool, _ in r.roots.ran if tool not in ("static-parts.sh", "dpkg-query")]  # data, no log
    expect(f"steps: {len(steps)} steps but {len(logs)} logs", len(logs) == len(steps))
    expect("source: not the packed tree", [(i["path"], i["root"]) for i in m.find("source")] == [
        ("dist/classbanner-0.0.1.tar.gz", "trixie")])
    amd64 = m.find("binary", rows=["amd64"])[0]
    expect(f"rows: amd64's binary records {amd64}", amd64["root"] == "trixie" and amd64["platform"] == "linux/amd64"
           and amd64["static"][0] == {"part": "musl", "license": "MIT", "package": "musl", "architecture": "amd64",
                                      "version": "1-2", "source": "musl-src", "source_version": "1-2"})
    expect("rows: Linux packages", paths("deb") == ["dist/classbanner_0.0.1-1_amd64.deb",
                                                    "dist/classbanner_0.0.1-1_mipsel.deb"]
           and paths("tar.gz", root="bookworm") == ["dist/classbanner-0.0.1-linux-mipsel.tar.gz"]
           and paths("rpm", rows=["amd64"]) == ["dist/classbanner-0.0.1-1.amd64.rpm"])
    expect(f"rows: CPack's .zip is {paths('zip-layout')}",
           paths("zip-layout") == ["scratch/classbanner-0.0.1-win64.zip"])
    info = (r.publish / "dist/classbanner-0.0.1.buildinfo").read_text()
    head, trixie, bookworm = (info.split("\n\n") + ["", ""])[:3]
    expect(f"buildinfo: the source line is not the archive's: {head}",
           f"\n {hashlib.sha256(b'source').hexdigest()} 6 classbanner-0.0.1.tar.gz\n" in head)
    expect(f"buildinfo: Debian 13's root reads {trixie!r}", trixie == "Root: trixie\nDebian-Version: 13.1\n"
           "Targets: amd64 win64\nInstalled-Packages:\n apt:amd64 (= 3.0)\n zlib1g:amd64 (= 1:1.3)")
    expect(f"buildinfo: Debian 12's root reads {bookworm!r}", bookworm == "Root: bookworm\nDebian-Version: 12.11\n"
           "Targets: mipsel\nInstalled-Packages:\n musl:mipsel (= 1.2.3)\n")

# A failing step stops the release with its own cause, and a row with its tests'.
for fail, junit, want in (
        ({"sign.sh repositories": "apt-ftparchive: cannot read pool/main\n"}, PASSED,
         "repositories: apt-ftparchive: cannot read pool/main (log: "),
        ({"signed-check.sh apt": "E: no InRelease\napt-get update failed: E: no InRelease\n"}, PASSED,
         "repositories-apt-trixie: apt-get update failed: E: no InRelease (log: "),
        ({"ctest": "ctest says nothing a release reads\n"}, PASSED.replace(
            '"executable" status="run"/>', '"executable" status="fail"><system-out>' + "".join(
                f"line {n}\n" for n in range(12)) + 'FAIL linux executable: not for ARMX</system-out></testcase>'),
         "amd64-test: tests failed: executable\n" + "".join(f"  executable: line {n}\n" for n in range(5, 12))
         + "  executable: FAIL linux executable: not for ARMX (log: "),
        ({}, PASSED.replace('status="run"/></', 'status="notrun"/></'), "amd64: tests skipped: executable (log: "),
        ({"cmake --preset": "CMake Error at cmake/target.cmake:50 (message):\n  musl for amd64 is not installed\n"},
         PASSED, "amd64-configure: musl for amd64 is not installed (log: ")):
    try:
        with fake_run([s for s in STAGES if s is not make_roots], roots={"fail": fail, "junit": junit}):
            faults.append(f"failure: {fail or junit} did not stop the release")
    except Stop as stop:
        expect(f"failure: stopped with {str(stop)!r}, not {want!r}", str(stop).startswith(want))
done("build")
