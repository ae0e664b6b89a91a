# SPDX-License-Identifier: MIT
"""Reading what tools say: a step's log, Debian's control files, ctest's
JUnit report."""
import re
import xml.etree.ElementTree as ElementTree


def reason(log):
    """Why a step failed: its log's last line, where every tool says it."""
    lines = [line for line in log.read_text(errors="replace").splitlines() if line.strip()]
    return (lines or ["no output"])[-1]


def cmake_fault(log):
    """The first error CMake or the compiler said, else the log's last line."""
    found = re.search(r"^CMake Error.*\n *(.*)|^(.*error.*)$", log.read_text(errors="replace"), re.M | re.I)
    return (found.group(1) or found.group(2)) if found else reason(log)


def tests(junit):
    """ctest's JUnit report: each test's name, and its status (run, fail,
    notrun) and output."""
    return {case.get("name"): (case.get("status"), case.findtext("system-out") or "")
            for case in ElementTree.parse(junit).iter("testcase")} if junit.exists() else {}


def tests_failed(junit):
    """The tests that failed, and the last lines each printed."""
    failed = {name: output for name, (status, output) in tests(junit).items() if status == "fail"}
    return "\n".join([f"tests failed: {' '.join(failed) or '(no report)'}"] + [
        line for name, output in failed.items() for line in [f"  {name}: {o}" for o in output.splitlines()
                                                             if o.strip()][-8:]])


def paragraphs(text):
    """Debian's control-file form: a dict a paragraph, its fields named as
    Python names them (source_version), continuation lines a line each."""
    found = []
    for block in (block for block in text.split("\n\n") if block.strip()):
        fields, key = {}, None
        for line in block.splitlines():
            if line[:1] in (" ", "\t"):
                fields[key] += "\n" + line.strip()
            else:
                key, value = line.split(":", 1)
                key = key.lower().replace("-", "_")
                fields[key] = value.strip()
        found.append(fields)
    return found
