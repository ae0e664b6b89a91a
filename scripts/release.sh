#!/bin/bash
# SPDX-License-Identifier: MIT
# Build every target of cmake/targets.txt from the committed tree, run each
# target's tests, and gather the downloads into dist/:
#
#   scripts/release.sh [TARGET...]
#
# dist/ holds the source archive classbanner-VERSION.tar.gz; for each Linux
# target its .tar.gz, .deb and .rpm; for each Windows target its .zip; and
# SHA256SUMS over them all. Every target is built from the source archive
# itself, unpacked, so that it is known to build. Given TARGETs, only those.
# Stops at the first target whose build or tests fail, or that skips a test
# for want of a tool, in one line that names it; its log is then under
# build/release-work/. Needs what `scripts/prerequisites.sh release` installs.
set -euo pipefail
cd "$(dirname "$0")/.."

stop() {
	echo "release: $*" >&2
	exit 1
}
git rev-parse -q --verify HEAD >/dev/null || stop "needs a git clone: it packs the committed tree"
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
	echo "release: uncommitted changes are left out"

version=$(sed -n 's/^  VERSION \([0-9.]*\)$/\1/p' CMakeLists.txt)
if [ $# -gt 0 ]; then
	targets=("$@")
else
	mapfile -t targets < <(awk '/^[a-z]/ { print $1 }' cmake/targets.txt)
fi
work=$PWD/build/release-work
source=classbanner-$version
rm -rf "$work" dist
mkdir -p "$work" dist

# The source, with the commit's time for the package stamps where git is not.
git archive --format=tar --prefix="$source/" \
	--add-virtual-file="$source/SOURCE_DATE_EPOCH:$(git log -1 --format=%ct)"$'\n' HEAD |
	gzip -9 -n >"dist/$source.tar.gz"
tar -xzf "dist/$source.tar.gz" -C "$work"
echo "release: source    dist/$source.tar.gz"

# why LOG: the workflow step that failed, and what it said.
why() {
	local step
	step=$(grep -o 'step [0-9]* of [0-9]*: [a-z]*' "$1" | tail -n 1 | sed 's/.*: //')
	case $step in
	configure) echo "configure stopped: $(grep -A 1 '^CMake Error' "$1" | sed -n '2s/^ *//p')" ;;
	test) echo "tests failed: $(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Failed)$/\1/p' "$1" | tr '\n' ' ')" ;;
	*) echo "${step:-the workflow} failed: $(grep -m 1 -i 'error' "$1")" ;;
	esac
}

for target in "${targets[@]}"; do
	grep -q "^$target " cmake/targets.txt || stop "$target: no such row in cmake/targets.txt"
	log=$work/$target.log
	(cd "$work/$source" && CLASSBANNER_TARGET=$target cmake --workflow --preset target) >"$log" 2>&1 ||
		stop "$target: $(why "$log") (log: $log)"
	skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Skipped\|Not Run\))$/\1/p' "$log" | tr '\n' ' ')
	[ -z "$skipped" ] || stop "$target: tests skipped: $skipped(scripts/prerequisites.sh release; log: $log)"
	build=$work/$source/build/target-$target
	mapfile -t packages < <(find "$build" -maxdepth 1 \( -name "$source-linux-*.tar.gz" \
		-o -name "classbanner_${version}_*.deb" -o -name "$source-1.*.rpm" -o -name "$source-win*.zip" \) \
		-printf '%f\n' | LC_ALL=C sort)
	[ ${#packages[@]} -gt 0 ] || stop "$target: no package made (log: $log)"
	for package in "${packages[@]}"; do
		cp "$build/$package" dist/
	done
	echo "release: $(printf '%-9s' "$target") $(grep '% tests passed' "$log" | tail -n 1); ${packages[*]}"
done

(cd dist && LC_ALL=C sha256sum -- classbanner* >SHA256SUMS)
echo "release: dist/ holds $(find dist -type f ! -name SHA256SUMS | wc -l) files and SHA256SUMS"
