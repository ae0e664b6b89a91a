# SPDX-License-Identifier: MIT
"""What every module of the pipeline shares: how a run stops, how a stage
says it has nothing to do, a file's SHA-256, and a command's output on this
machine."""
import hashlib
import subprocess


class Stop(Exception):
    """The run failed: the line, and any lines below it, that say why."""


class Skip(Exception):
    """A stage has nothing (more) to do: why, printed on its line."""


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def output(*command, **options):
    """What COMMAND, run on this machine, writes: data."""
    return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout
