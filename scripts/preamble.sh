# SPDX-License-Identifier: MIT
# What each check script, and each of the release's tools, starts with, sourced
# after it sets `who` (or none): a scratch folder, removed at the end, and
# fail, which says a fault in one line (starting with `who`, the name ctest's
# output quotes it by) and marks the check failed. At the end the first fault
# is said again, last: the reason a failure is reported by. A script with more
# to undo at the end defines `cleanup`.
# shellcheck shell=sh disable=SC2034,SC2154 # who is set, failed read, by the sourcing check
tmp=$(mktemp -d) || exit 1
failed=0 reason=
cleanup() { :; }
trap 'cleanup; rm -rf "$tmp"; [ -z "$reason" ] || printf "%s\n" "$reason" >&2' EXIT
fail() {
	said_fault="${who:+$who: }$*"
	printf '%s\n' "$said_fault" >&2
	failed=1 reason=${reason:-$said_fault}
}
