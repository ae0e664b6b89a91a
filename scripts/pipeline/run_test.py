# SPDX-License-Identifier: MIT
"""One run of stages against fake roots: a stage that skips says why on its
line; a step's failure stops the run with its log's last line; two steps of
one name are refused; a step that leaves a link out of its root stops the
run, and a file taken out of a root is never read through a link.

The fake roots live here, beside the run they fake; each stage's test adds
the fakes of the tools its stage runs (fake()), and a test of several stages
imports their tests for theirs. No root, no network."""
import contextlib
import io
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

from .artifacts import stage
from .base import Skip, Stop
from .config import Config, table
from .roots import TOOLS, Roots
from .run import Run, make, workspace

PASSED = '<testsuite><testcase name="output" status="run"/><testcase name="executable" status="run"/></testsuite>'
FAKES = {}  # a tool's name (with its first argument, for one of several modes): what it does


def fake(*names):
    """Declare a function the fake of the tools NAMES, called as
    (roots, root, here, args): what the tool writes. A tool run under env
    has its variable as its first argument."""
    def declare(function):
        for name in names:
            FAKES[name] = function
        return function
    return declare


def real(name):
    """The tool NAME run for real, on this machine, in the step's folder:
    for a tool that only reads and writes files there."""
    @fake(name)
    def tool(roots, root, here, args):
        said = subprocess.run([sys.executable, TOOLS / name, *args], cwd=here, text=True, capture_output=True)
        return said.stdout + said.stderr
    return tool


class FakeRoots(Roots):
    """Roots that are folders, whose tools are the FAKES (a tool with none
    says nothing and succeeds): FAIL maps a tool and its first arguments to
    what it says as it fails; JUNIT is what ctest reports; LISTINGS, each
    root's dpkg-query listing."""

    def __init__(self, work, fail=None, junit=PASSED, listings=None):
        super().__init__(work, [])
        self.fail, self.junit, self.ran = fail or {}, junit, []
        self.listings = listings or {"root-trixie": "ii  zlib1g:amd64 (= 1:1.3)\nrc  gone:amd64 (= 1)\n"
                                     "ii  apt:amd64 (= 3.0)\n", "root-bookworm": "ii  musl:mipsel (= 1.2.3)\n"}

    def unpack(self, name):
        root = self.work / f"root-{name}"
        if root not in self.unpacked:
            self.unpacked.append(root)
            (root / "build").mkdir(parents=True)
            (root / "etc").mkdir()
            (root / "etc/debian_version").write_text({"trixie": "13.1\n", "bookworm": "12.11\n"}[name])
        return root

    def remove(self, root):
        shutil.rmtree(root)

    def execute(self, root, folder, command, stdout, stdin=None, namespaces=None):
        here, command = root / "build" / folder, [str(word) for word in command]
        tool = pathlib.Path(command[2] if command[0] == "env" else command[0]).name
        self.ran.append((root.name, tool, command))
        args = [command[1], *command[3:]] if command[0] == "env" else command[1:]  # the variable first
        answer = FAKES.get(f"{tool} {args[0]}" if args else tool) or FAKES.get(tool)
        said, code = (answer(self, root, here, args) if answer else "") or "", 0
        words = " ".join([tool, *command[3 if command[0] == "env" else 1:]])
        for planted in (key for key in self.fail if words.startswith(key)):
            said, code = self.fail[planted], 1
        if stdout is subprocess.PIPE:
            return subprocess.CompletedProcess(command, code, said, "")
        stdout.write(said)
        return subprocess.CompletedProcess(command, code)

    def steps(self, tool, first=None):
        """The argument lists of the steps that ran TOOL (with FIRST argument)."""
        return [c[1:] for _, t, c in self.ran if t == tool and first in (None, c[1])]


@fake("dpkg-query")
def listing(roots, root, here, args):
    return roots.listings[root.name]


def config(folder, **given):
    """A signed release of amd64, win64 and mipsel (0.0.1), its keys throwaway
    files in FOLDER; GIVEN changes any field."""
    (folder / "key").write_text("a key")
    (folder / "provenance.pem").write_bytes(ed25519.Ed25519PrivateKey.generate().private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    fields = dict(table=table(), targets=("amd64", "mipsel", "win64"), version="0.0.1", debian_version="0.0.1-1",
                  commit="0" * 40, epoch="1765000000", native="amd64", roots=folder / "roots",  # never the real ones
                  signing_key=str(folder / "key"), sign_at="1765000000", fingerprints=("F" * 40,),
                  code_key=str(folder / "key"), provenance_key=str(folder / "provenance.pem"))
    return Config(**{**fields, **given})


@contextlib.contextmanager
def fake_run(stages, command="release", answers=None, folder=None, **given):
    """A run of STAGES (those COMMAND runs) against fake roots (ANSWERS:
    FakeRoots's options), in FOLDER (else a scratch folder), its work folder
    FOLDER/work, with the configuration GIVEN changes; the run, inside, and
    what it said as r.said."""
    with contextlib.nullcontext(folder) if folder else tempfile.TemporaryDirectory() as tmp:
        fake_roots = FakeRoots(pathlib.Path(tmp) / "work", **(answers or {}))
        with workspace(fake_roots):
            r = Run(config(pathlib.Path(tmp), **given), fake_roots)
            said = io.StringIO()
            with contextlib.redirect_stdout(said):
                make(r, stages, command)
            r.said = said.getvalue()
            yield r


def finished(stages, command="release", **options):
    """A run of STAGES as fake_run makes it, to its end."""
    with fake_run(stages, command, **options) as r:
        return r


class Case(unittest.TestCase):
    """What every test case here shares: a scratch folder, and a check that a
    call stops in one line that says what it should."""

    def folder(self):
        made = tempfile.TemporaryDirectory()
        self.addCleanup(made.cleanup)
        return pathlib.Path(made.name)

    def assertStops(self, want, call, *args, **options):
        with self.assertRaises(Stop) as stopped:
            call(*args, **options)
        said = str(stopped.exception)
        self.assertIn(want, said)
        self.assertNotIn("\n", said.split(" (log: ")[0], "a stop says why in one line")
        return said


@stage(makes=["binary"])
def make_binary(r):
    """A stage of one step, which the tests below plant faults in."""
    r.step("touch", "trixie", "publish", "touch", "binaries/amd64")
    r.manifest.add(r.publish / "binaries/amd64", "binary", rows=["amd64"])


class Stages(Case):
    def test_skip_is_said_on_the_stages_line(self):
        @stage()
        def nothing(r):
            raise Skip("nothing to do here")

        @fake("touch")
        def touch(roots, root, here, args):
            (here / args[0]).write_text("made")
        with fake_run([nothing, make_binary]) as r:
            self.assertIn("release: nothing      skipped: nothing to do here\n", r.said)
            self.assertEqual([i["path"] for i in r.manifest.items], ["binaries/amd64"], "the run goes on")

    def test_failed_step_stops_with_its_logs_last_line(self):
        fail = {"touch": "starting\ntouch: cannot touch: no room\n"}
        said = self.assertStops("touch: touch: cannot touch: no room (log: ", finished, [make_binary],
                                answers={"fail": fail})
        self.assertTrue(said.endswith("/work/touch.log)"), said)

    def test_second_step_of_one_name(self):
        @stage()
        def twice(r):
            r.step("same", "trixie", ".", "true")
            r.step("same", "trixie", ".", "true")
        self.assertStops("same: a second step of that name", finished, [twice])

    def test_stage_of_one_command_only(self):
        @stage(only="rebuild")
        def rebuilding(r):
            raise Stop("a release ran a rebuild's own stage")
        with fake_run([rebuilding]) as r:
            self.assertEqual(r.said, "")
        self.assertStops("a release ran", finished, [rebuilding], "rebuild")


class Containment(Case):
    """What a root's step leaves is the root's: a link out of it stops the
    run before this machine reads or writes through it."""

    def planting(self, plant):
        @stage()
        def planted(r):
            r.step("plant", "trixie", "publish", "plant")

        @fake("plant")
        def plants(roots, root, here, args):
            plant(here)
        return planted

    def test_link_out_of_the_work_folder(self):
        planted = self.planting(lambda here: os.symlink("/etc", here / "dist/etc"))
        self.assertStops("plant: left", finished, [planted])

    def test_publish_folder_made_a_link(self):
        def swap(here):
            shutil.rmtree(here)
            os.symlink("/tmp", here)
        self.assertStops("plant: left", finished, [self.planting(swap)])

    def test_taken_file_that_is_a_link(self):
        secret = self.folder() / "secret"
        secret.write_text("this machine's")

        @stage()
        def taking(r):
            root = r.root("trixie")
            os.symlink(secret, root / "build/made")  # inside the root, pointing out
            r.take(root / "build/made", r.publish / "scratch/taken")
        self.assertStops("build/made: a link, not a file: not read", finished, [taking])


if __name__ == "__main__":
    unittest.main()
