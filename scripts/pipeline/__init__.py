# SPDX-License-Identifier: MIT
"""The release as a pipeline, and the verify command that reruns part of it.

    artifacts.py   the kinds of artifact, the stage declaration, the plan check
                   and the manifest of what the stages make
    config.py      what a release is given, built once, checked, frozen
    keys.py        the signing keys' checks, gpgv, DSSE, signed SHA256SUMS
    roots.py       the clean roots: mirror, fetch, index, mmdebstrap, cache,
                   and the runner of commands in them
    run.py         one run: its work folder, steps and logs, setup and teardown
    logs.py        reading what tools say: logs, control files, JUnit reports
    stages/        the stages, by concern; each with its offline test beside it
    release.py     the release's sequence of stages, and its command
    verify.py      the verify command's sequence, and its command
    tools/         what runs in the roots, one contract for all: arguments
                   in, data (only) on standard output, the reason for a
                   failure as the last line of standard error, an exit status
"""
