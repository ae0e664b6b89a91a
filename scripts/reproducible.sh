#!/bin/bash
# SPDX-License-Identifier: MIT
# Build the committed source twice, in two folders and at two times, and show
# that the executables and packages come out byte for byte the same.
#
#   scripts/reproducible.sh
#
# Needs what the package, linux-arm64 and windows-x64 builds need. Uncommitted changes are
# left out: each build starts from a clone of HEAD.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

presets=(package linux-arm64 windows-x64)
artifacts=(
	build/package/classbanner
	build/package/classbanner_*.deb
	build/package/classbanner-*.rpm
	build/package/classbanner-*.tar.gz
	build/linux-arm64/classbanner
	build/linux-arm64/classbanner_*.deb
	build/linux-arm64/classbanner-*.rpm
	build/linux-arm64/classbanner-*.tar.gz
	build/windows-x64/classbanner.exe
	build/windows-x64/classbanner-*.zip
)

build() { # folder
	git clone -q "$root" "$1"
	(
		cd "$1"
		for preset in "${presets[@]}"; do
			cmake --preset "$preset" >/dev/null
			cmake --build --preset "$preset" >/dev/null
			cpack --preset "$preset" >/dev/null
		done
		for artifact in "${artifacts[@]}"; do
			sha256sum $artifact
		done
	) >"$1.sums"
}

build "$tmp/first"
sleep 2 # a later second, for anything that would stamp the time
build "$tmp/second/in/a/deeper/folder"

echo "first build:"
cat "$tmp/first.sums"
if diff "$tmp/first.sums" "$tmp/second/in/a/deeper/folder.sums"; then
	echo "reproducible: both builds are byte-identical"
else
	echo "NOT reproducible: the second build differs (above)" >&2
	exit 1
fi
