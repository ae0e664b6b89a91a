# SPDX-License-Identifier: MIT
# What each check script starts with, sourced after it sets `who`: a scratch
# folder, removed at the end, and fail, which says a fault in one line that
# starts with `who` (the name ctest's output and the release quote it by) and
# marks the check failed.
# shellcheck shell=sh disable=SC2034,SC2154 # who is set, failed read, by the sourcing check
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() {
	printf '%s: %s\n' "$who" "$*" >&2
	failed=1
}
