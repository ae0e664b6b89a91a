# SPDX-License-Identifier: MIT
"""One run of a pipeline: what its stages are passed, the one setup and
teardown of its work folder, and the running of its stages in order."""
import contextlib
import os
import pathlib
import shutil
import subprocess

from .artifacts import KINDS, Manifest, check_plan, sequence
from .base import Skip, Stop
from .logs import reason
from .untrusted import planted, read_regular


class Run:
    """What every stage is passed: CONFIG, which it reads; ROOTS, in which it
    runs commands; the work folder (publish/, kept in the first root as
    /build/publish) and its MANIFEST, to which it adds what it makes."""

    def __init__(self, config, roots):
        self.config, self.roots, self.work = config, roots, roots.work
        self.publish = self.work / "publish"
        self.manifest = Manifest(self.publish)

    def say(self, stage, text):
        print(f"{self.config.who}: {stage:<12} {text}", flush=True)

    def log(self, name):
        return self.work / f"{name}.log"

    def root(self, suite):
        """SUITE's root; the first holds the work folder, as /build/publish."""
        root = self.roots.unpack(suite)
        if suite == self.config.first_suite and not self.publish.is_symlink():
            self.publish.rename(root / "build" / "publish")
            self.publish.symlink_to(root / "build" / "publish")
        return root

    def step(self, name, suite, folder, *command, fault=reason, stdin=None, namespaces=None):
        """COMMAND in SUITE's root, in FOLDER under /build, its output into
        NAME.log; if it fails, stop with what FAULT reads there (its last line)."""
        log = self.log(name)
        if log.exists():
            raise Stop(f"{name}: a second step of that name, whose log would mix with the first's")
        with open(log, "w") as out:
            done = self.roots.execute(self.root(suite), folder, command, out, stdin, namespaces)
        self.contained(name)
        if done.returncode:
            raise Stop(f"{name}: {fault(log)} (log: {log})")

    def query(self, suite, folder, *command):
        """What COMMAND, run in SUITE's root, writes: data, read as it is."""
        done = self.roots.execute(self.root(suite), folder, command, subprocess.PIPE)
        self.contained(command[0])
        if done.returncode:
            raise Stop(f"{command[0]} failed in the {suite} root: {done.stderr.strip()[-300:]}")
        return done.stdout

    def contained(self, step):
        """Stop if STEP left, where this machine's own code goes on to read and
        write (the work folder, kept in the first root), a link that would be
        followed out of it here, or a device or fifo: the root's processes are
        gone with its pid namespace, so nothing can plant one after this."""
        if not self.publish.is_symlink():
            return
        build = self.work / f"root-{self.config.first_suite}" / "build"
        for folder in (build, build / "publish"):
            if folder.is_symlink() or not folder.is_dir():
                raise Stop(f"{step}: left {folder} a link, or no folder, which this machine would follow out of "
                           "its root")
        found = planted(build / "publish")
        if found:
            raise Stop(f"{step}: left {found}, which this machine would follow out of its root")

    def take(self, path, to=None):
        """The bytes of PATH, a file a root's step made (into TO, its mode
        kept, if given): read without following a link, as nothing in a root
        is this machine's to follow."""
        base = next(p for p in path.parents if p.parent == self.work)
        data, mode = read_regular(base, *path.relative_to(base).parts, mode=True)
        if data is None:
            raise Stop(f"{path}: not made")
        if to:
            to.write_bytes(data)
            to.chmod(mode & 0o777)
        return data

    def packages(self, suite):
        """The packages installed in SUITE's root, as the .buildinfo lists them."""
        listed = self.query(suite, ".", "dpkg-query", "-W", "-f",
                            "${db:Status-Abbrev} ${Package}:${Architecture} (= ${Version})\n")
        return sorted((" ".join(line.split()[1:]) for line in listed.splitlines() if line[:2] == "ii"),
                      key=str.encode)

    def tool(self, name, tool, *args, stdin=None, suite=None):
        """A step that runs one of the release's tools in the work folder."""
        self.step(name, suite or self.config.first_suite, "publish",
                  f"../{self.config.stem}/scripts/pipeline/tools/{tool}", *args, stdin=stdin)


@contextlib.contextmanager
def workspace(roots):
    """The work folder of ROOTS, made afresh, its artifact folders ready; on
    the way out, whatever happened, the roots removed, publish/ put back."""
    for root in roots.work.glob("root-*"):
        roots.remove(root)
    shutil.rmtree(roots.work, ignore_errors=True)
    for folder in {kind.folder for kind in KINDS.values()} | {"unsigned"}:
        (roots.work / "publish" / folder).mkdir(parents=True)
    try:
        yield
    finally:
        publish = roots.work / "publish"
        if publish.is_symlink():  # put back from where it was put, never from where a link leads
            target = pathlib.Path(os.readlink(publish))
            publish.unlink()
            if target.is_dir() and not target.is_symlink() and not target.parent.is_symlink():
                shutil.move(target, publish)
        for root in roots.unpacked:
            roots.remove(root)


def make(r, stages, command):
    """The STAGES COMMAND ("release" or "rebuild") runs, in order, once its
    plan is checked, each recording only what it declares; a stage that
    skips says why on its line."""
    stages = sequence(stages, command)
    check_plan(stages)
    for each in stages:
        r.manifest.stage = each
        try:
            each(r)
        except Skip as skip:
            r.say(each.__name__, f"skipped: {skip}")
    r.manifest.stage = None
