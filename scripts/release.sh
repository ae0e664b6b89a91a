#!/bin/bash
# SPDX-License-Identifier: MIT
# Make a release: build and test every row of cmake/targets.txt in a clean
# root of the Debian release that row names, and gather the downloads into
# dist/:
#
#   scripts/release.sh [TARGET...]
#
# The pipeline:
#   1. roots   one clean root per Debian release (scripts/release/root.sh),
#              cached between releases
#   2. source  the committed tree packed, in the first row's root, into the
#              source archive classbanner-VERSION.tar.gz
#   3. rows    each row built from that archive in its release's root, with
#              every test (qemu-user and wine are the root's), and packed there
#   4. gather  for each Linux row its .tar.gz, .deb and .rpm, for each Windows
#              row its .zip; classbanner-VERSION.buildinfo naming every root's
#              release and installed packages
#   5. image   classbanner-VERSION-oci.tar, an OCI image of each Linux row's
#              tested binary under one index, checked with skopeo, umoci and
#              runc (scripts/release/image.sh; tests/image-check.sh)
#   6. bill of materials
#              classbanner-VERSION.cdx.json (CycloneDX): every download with
#              its SHA-256 and what each binary carries statically, from the
#              root it was built in, checked against CycloneDX's schema, the
#              downloads and the buildinfo (scripts/release/sbom.py;
#              tests/sbom-check.py); then
#              SHA256SUMS over them all
#   7. sign    with the OpenPGP secret key in the file $CLASSBANNER_SIGNING_KEY
#              names, if any, at the commit's time (or when the key was made,
#              if later): SHA256SUMS.asc, the public key
#              classbanner-signing-key.asc, and the signed repositories apt/
#              and rpm/ (scripts/release/sign.sh, apt.sh, rpm.sh); checked
#              as users take them, with gpgv, apt in every release's root and
#              dnf (tests/signed-check.sh)
#
# Given TARGETs, only those rows. Stops at the first row whose build or tests
# fail, or that skips a test, in a line that names it, followed by the failing
# tests' last lines; the whole log is under build/release-work/. Every stage
# writes into build/release-work/dist, which replaces dist/ once all have
# passed: a release that stops leaves dist/ as it was. Needs what
# `scripts/prerequisites.sh release` installs.
set -euo pipefail
key=${CLASSBANNER_SIGNING_KEY:+$(realpath -m -- "$CLASSBANNER_SIGNING_KEY")}
cd "$(dirname "$0")/.."

stop() {
	echo "release: $*" >&2
	exit 1
}
git rev-parse -q --verify HEAD >/dev/null || stop "needs a git clone: it packs the committed tree"
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
	echo "release: uncommitted changes are left out"
command -v mmdebstrap >/dev/null || stop "needs mmdebstrap: scripts/prerequisites.sh release"
# Every stamp in a release, signatures included, is the commit's time.
epoch=$(git log -1 --format=%ct)
if [ -n "$key" ]; then
	command -v gpg >/dev/null || stop "needs gpg to read the signing key: scripts/prerequisites.sh release"
	sign_at=$(scripts/release/sign.sh check "$key" "$epoch" 2>&1) || stop "$sign_at"
	[ "$sign_at" = "$epoch" ] || echo "release: the key was made after the commit: it signs at $(date -u -d "@$sign_at" '+%Y-%m-%d %H:%M:%S UTC'), when it was made"
fi

version=$(sed -n 's/^  VERSION \([0-9.]*\)$/\1/p' CMakeLists.txt)
source=classbanner-$version
if [ $# -gt 0 ]; then
	targets=("$@")
else
	mapfile -t targets < <(scripts/targets.sh name)
fi
# target: the Debian release it is built in, its image's platform, and what
# static-parts.sh reads of it
declare -A debian image row
while IFS=$'\t' read -r target release platform triple libc runner; do
	debian[$target]=$release image[$target]=$platform row[$target]="$triple $libc $runner"
done < <(scripts/targets.sh name debian image triple libc runner)
for target in "${targets[@]}"; do
	[ -n "${debian[$target]:-}" ] || stop "$target: no such row in cmake/targets.txt"
done
# The source is packed in the first row's release; then each release in turn.
mapfile -t releases < <({ scripts/targets.sh debian | sed -n 1p
	for target in "${targets[@]}"; do echo "${debian[$target]}"; done; } | awk '!seen[$0]++')

work=$PWD/build/release-work
roots=()
cleanup() { for dir in "${roots[@]}"; do scripts/release/root.sh remove "$dir"; done; }
trap cleanup EXIT
for dir in "$work"/root-*/; do
	[ ! -d "$dir" ] || scripts/release/root.sh remove "$dir" # left by a release that was stopped
done
rm -rf "$work"
out=$work/dist
mkdir -p "$work/parts" "$work/binaries" "$out"
git bundle create -q "$work/source.bundle" HEAD

# --- 1. roots
declare -A tarball
for release in "${releases[@]}"; do
	tarball[$release]=$(scripts/release/root.sh make "$release" "$work/mmdebstrap-$release.log") ||
		stop "$release: no clean root"
	echo "release: root      $release, $(basename "${tarball[$release]}")"
done
# in_root RELEASE FOLDER COMMAND...: run COMMAND in RELEASE's root, unpacked
# once, in FOLDER under /build, the folder that holds the source.
in_root() {
	local dir=$work/root-$1 folder=/build/$2
	if [ ! -d "$dir" ]; then
		roots+=("$dir")
		scripts/release/root.sh unpack "${tarball[$1]}" "$dir"
		mkdir "$dir/build"
		cp "$work/source.bundle" "$dir/build/"
		[ ! -f "$out/$source.tar.gz" ] || cp "$out/$source.tar.gz" "$dir/build/"
	fi
	shift 2
	scripts/release/root.sh run "$dir" "$folder" "$@"
}

# --- 2. source: with the commit's time for the package stamps, where git is not.
{ in_root "${releases[0]}" . git clone -q source.bundle git &&
	in_root "${releases[0]}" git git archive --format=tar --prefix="$source/" \
		--add-virtual-file="$source/SOURCE_DATE_EPOCH:$epoch"$'\n' --output="../$source.tar" HEAD &&
	in_root "${releases[0]}" . gzip -9 -n "$source.tar"; } >"$work/source.log" 2>&1 ||
	stop "source: not packed (log: $work/source.log)"
cp "$work/root-${releases[0]}/build/$source.tar.gz" "$out/"
echo "release: source    dist/$source.tar.gz"

# why LOG: the workflow step that failed, and what it said: for tests, the
# failing ones and the last lines each printed, which outlive a thrown-away log.
why() {
	local step
	step=$(grep -o 'step [0-9]* of [0-9]*: [a-z]*' "$1" | tail -n 1 | sed 's/.*: //')
	case $step in
	configure) echo "configure stopped: $(grep -A 1 '^CMake Error' "$1" | sed -n '2s/^ *//p')" ;;
	test)
		echo "tests failed: $(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Failed\|Timeout\))$/\1/p' "$1" | tr '\n' ' ')"
		# ctest prints a failed test's output after its result line.
		awk '/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / { shown = /\*\*\*|Failed|Timeout/; if (shown) { n = 0; name = $4 } next }
			/^ *Start +[0-9]+: / || /tests passed|tests failed/ { if (shown) for (i = n > 8 ? n - 7 : 1; i <= n; i++) print "  " name ": " line[i]; shown = 0; next }
			shown && NF { line[++n] = $0 }' "$1"
		;;
	*) echo "${step:-the workflow} failed: $(grep -m 1 -i 'error' "$1")" ;;
	esac
}

# --- 3. rows, each release's in its root, and 4. what they make gathered
buildinfo=$out/$source.buildinfo
{
	echo "Format: 1.0"
	echo "Source: classbanner"
	echo "Version: $version"
	echo "Git-Commit: $(git rev-parse HEAD)"
	echo "Checksums-Sha256:"
	echo " $(sha256sum "$out/$source.tar.gz" | cut -d ' ' -f 1) $(stat -c %s "$out/$source.tar.gz") $source.tar.gz"
	echo "Source-Packed-In: ${releases[0]}"
} >"$buildinfo"
for release in "${releases[@]}"; do
	[ -d "$work/root-$release/build/$source" ] || in_root "$release" . tar -xzf "$source.tar.gz"
	built=()
	for target in "${targets[@]}"; do
		[ "${debian[$target]}" = "$release" ] || continue
		log=$work/$target.log
		in_root "$release" "$source" env CLASSBANNER_TARGET="$target" cmake --workflow --preset target >"$log" 2>&1 ||
			stop "$target: $(why "$log") (log: $log)"
		skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Skipped\|Not Run\))$/\1/p' "$log" | tr '\n' ' ')
		[ -z "$skipped" ] || stop "$target: tests skipped: $skipped(log: $log)"
		build=$work/root-$release/build/$source/build/target-$target
		mapfile -t packages < <(find "$build" -maxdepth 1 \( -name "$source-linux-*.tar.gz" \
			-o -name "classbanner_${version}_*.deb" -o -name "$source-1.*.rpm" -o -name "$source-win*.zip" \) \
			-printf '%f\n' | LC_ALL=C sort)
		[ ${#packages[@]} -gt 0 ] || stop "$target: no package made (log: $log)"
		cp "${packages[@]/#/$build/}" "$out/"
		built+=("$target")
		# What the image and the bill of materials need of the row.
		# shellcheck disable=SC2086 # the row's three columns
		in_root "$release" "$source" scripts/release/static-parts.sh ${row[$target]} >"$work/parts/$target.parts"
		printf '%s\n' "${packages[@]}" >"$work/parts/$target.files"
		echo "$release" >"$work/parts/$target.release"
		[ "${image[$target]}" = - ] || cp "$build/classbanner" "$work/binaries/$target"
		echo "release: $(printf '%-9s' "$target") $release, $(grep '% tests passed' "$log" | tail -n 1); ${packages[*]}"
	done
	# What this root held: enough to make it again, package for package.
	{
		echo
		echo "Root: $release"
		echo "Debian-Version: $(cat "$work/root-$release/etc/debian_version")"
		echo "Targets: ${built[*]:-(the source archive)}"
		echo "Installed-Packages:"
		# shellcheck disable=SC2016 # dpkg-query's own fields
		in_root "$release" . dpkg-query -W -f '${db:Status-Abbrev} ${Package}:${Architecture} (= ${Version})\n' |
			awk '$1 == "ii" { print " " $2, $3, $4 }' | LC_ALL=C sort
	} >>"$buildinfo"
done

# --- 5. image and 6. bill of materials, in the first row's root
# last LOG WHO: the first line a check script (WHO) said, else the log's last.
last() { grep -m 1 "^$2: " "$1" | sed "s/^$2: //" || grep -v '^$' "$1" | tail -n 1; }
publish=$work/root-${releases[0]}/build/publish
mkdir -p "$publish"
cp -r "$out" "$work/parts" "$work/binaries" "$publish/"
platforms=()
for target in "${targets[@]}"; do
	[ "${image[$target]}" = - ] || platforms+=("${image[$target]}=binaries/$target")
done
tools=../$source/scripts/release checks=../$source/tests
if [ ${#platforms[@]} -gt 0 ]; then
	{ in_root "${releases[0]}" publish "$tools/image.sh" "dist/$source-oci.tar" "$version" "$epoch" \
		"../$source/LICENSE" "${platforms[@]}" &&
		in_root "${releases[0]}" publish "$checks/image-check.sh" "dist/$source-oci.tar" "$version" \
			"$checks/banner.txt" "${platforms[@]}"; } >"$work/image.log" 2>&1 ||
		stop "image: $(last "$work/image.log" image) (log: $work/image.log)"
	cp "$publish/dist/$source-oci.tar" "$out/"
	for target in "${targets[@]}"; do
		[ "${image[$target]}" = - ] || echo "$source-oci.tar" >>"$publish/parts/$target.files"
	done
	[ ${#platforms[@]} -eq 1 ] && what=platform || what=platforms
	echo "release: image     ${#platforms[@]} $what: dist/$source-oci.tar"
fi
{ in_root "${releases[0]}" publish python3 "$tools/sbom.py" dist parts "$version" "$epoch" "dist/$source.cdx.json" &&
	in_root "${releases[0]}" publish python3 "$checks/sbom-check.py" "dist/$source.cdx.json" dist "dist/$source.buildinfo"; } \
	>"$work/sbom.log" 2>&1 || stop "bill of materials: $(last "$work/sbom.log" sbom) (log: $work/sbom.log)"
cp "$publish/dist/$source.cdx.json" "$out/"
echo "release: sbom      dist/$source.cdx.json, $(grep -c '"type": "file"' "$out/$source.cdx.json") downloads"

(cd "$out" && LC_ALL=C sha256sum -- classbanner* >SHA256SUMS)

# --- 7. sign, in the first row's root, the key on standard input only
if [ -z "$key" ]; then
	echo "release: unsigned  (no CLASSBANNER_SIGNING_KEY): no SHA256SUMS.asc, nor apt or rpm repository, which apt and dnf refuse unsigned"
else
	cp "$out/SHA256SUMS" "$publish/dist/"
	in_root "${releases[0]}" publish "$tools/sign.sh" dist "$epoch" "$sign_at" <"$key" >"$work/sign.log" 2>&1 ||
		stop "sign: $(last "$work/sign.log" sign) (log: $work/sign.log)"
	for release in "${releases[@]}"; do
		log=$work/signed-$release.log
		if [ "$release" = "${releases[0]}" ]; then
			{ in_root "$release" publish "$checks/signed-check.sh" sums dist &&
				in_root "$release" publish "$checks/signed-check.sh" dnf dist "$checks/banner.txt"; } >"$log" 2>&1 ||
				stop "signed: $(last "$log" signed) (log: $log)"
		else
			mkdir -p "$work/root-$release/build/publish"
			cp -r "$publish/dist" "$work/root-$release/build/publish/"
		fi
		in_root "$release" publish "$checks/signed-check.sh" apt dist "$checks/banner.txt" >>"$log" 2>&1 ||
			stop "signed: $(last "$log" signed) (log: $log)"
	done
	cp -r "$publish"/dist/{apt,rpm,SHA256SUMS.asc,classbanner-signing-key.asc} "$out/"
	echo "release: signed    $(sed -n 's/^sign: //p' "$work/sign.log"); checked with gpgv, apt in ${releases[*]}, dnf in ${releases[0]}"
fi

# Every stage has passed: dist/ is replaced in one step.
rm -rf dist.old
[ ! -e dist ] || mv dist dist.old
mv "$out" dist
rm -rf dist.old
echo "release: dist/ holds $(find dist -type f ! -name SHA256SUMS | wc -l) files and SHA256SUMS, sha256 $(sha256sum dist/SHA256SUMS | cut -c1-64)"
