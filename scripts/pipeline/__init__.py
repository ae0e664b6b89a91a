# SPDX-License-Identifier: MIT
"""The release as a pipeline, and the verify command that reruns part of it:
its modules, stages and tools are laid out in docs/releasing.md, "How a
release runs"."""
