# SPDX-License-Identifier: MIT
# What each of the release's shell checks starts with, sourced after it sets
# `who`: a scratch folder, removed at the end, and fail, which says a fault in
# one line that starts with `who`, the name the release quotes it by.
# shellcheck shell=bash disable=SC2034,SC2154 # who is set, failed read, by the sourcing check
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() {
	echo "$who: $*" >&2
	failed=1
}
