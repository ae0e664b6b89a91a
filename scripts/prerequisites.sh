#!/bin/bash
# SPDX-License-Identifier: MIT
# Install, from Debian's packages, what classbanner's builds and tests need:
#
#   scripts/prerequisites.sh [GROUP...]
#   scripts/prerequisites.sh --list [GROUP...]
#
# Groups:
#   native        (the default) compilers, analysers and test tools for the
#                 check, sanitize, release and package builds on this
#                 machine, musl for x86-64, and the packagers and their
#                 checkers
#   TARGET        a row of cmake/targets.txt (arm64, win32, ...): its cross
#                 compiler, its C library, and qemu-user or wine to run it,
#                 for the target workflow on this machine
#   build         what one row's build, tests and packages need besides the
#                 row's own group: what scripts/release.py puts in its roots
#   publish       what the release's image, Windows installers and their
#                 Authenticode signatures, bill of materials, signatures and
#                 repositories are made and checked with (umoci, skopeo, runc,
#                 jq, wixl and msitools, python3-yaml for the winget
#                 manifests, osslsigncode 2.9, pefile, olefile,
#                 with wine from the Windows rows, python3-cyclonedx-lib with
#                 python3-jsonschema, and cosign, which only Debian 13
#                 carries, gpg, apt-ftparchive, createrepo_c, dnf, and
#                 chromium with its driver and selenium for the release
#                 page's check): in the first row's root
#   release       what scripts/release.py needs on this machine to make its
#                 clean roots and run in them, gpg and python3-cryptography
#                 to read the signing keys, openssl to make a throwaway one,
#                 gpgv and zstd to check a previous release's signatures and
#                 indexes, dch (devscripts) to make the next version,
#                 ca-certificates to fetch axe-core from npm for the page's
#                 check; the compilers go in the roots
#   reproducible  reprotest, disorderfs and faketime for scripts/reproducible.sh
#                 (whose reprotest run also needs native)
#   bench         what bench/startup.sh measures with
#
# Runs `apt-get update` once, after adding any foreign architecture the
# targets need, then one `apt-get install --no-install-recommends`. A target
# whose packages this Debian does not carry (Debian 13 has no mips64el) is
# left out, in a line that says so. Run it as root. With --list it installs
# nothing and prints two lines: the foreign architectures, then the packages.
set -euo pipefail
cd "$(dirname "$0")/.."

build=(
	g++ cmake make git                # build
	strace bsdutils groff-base        # tests: system calls, terminal, man page
	dpkg-dev build-essential debhelper file rpm cpio lintian rpmlint # packages and their checkers
)
native=("${build[@]}" clang-tidy cppcheck shellcheck flake8 python3 python3-cryptography python3-yaml msitools gpg gpg-agent gpgv man-db)
mapfile -t targets < <(scripts/targets.sh name)

list=0
if [ "${1:-}" = --list ]; then
	list=1
	shift
fi

packages=() architectures=()
declare -A for_target # target: its packages
add_target() { # name: its compiler, C library and runner
	local name=$1 system triple processor runner
	IFS=$'\t' read -r system triple processor runner < <(scripts/targets.sh name="$1" system triple processor runner)
	if [ "$system" = windows ]; then
		# 64-bit rows run under wine64 alone, mount hiding the 32-bit loader
		# (scripts/wine.sh). 32-bit rows need wine32, which comes only for
		# i386 (named bare, apt may pick another architecture), and qemu-i386
		# where the kernel runs no 32-bit x86 code.
		for_target[$name]="g++-mingw-w64-${processor//_/-} wine wine64 mount"
		if [ "$processor" = i686 ]; then
			for_target[$name]+=" wine32:i386 qemu-user"
			architectures+=(i386)
		fi
	elif [ "$runner" = - ]; then
		for_target[$name]="musl-tools musl-dev:$name"
	else
		for_target[$name]="g++-$triple musl-dev:$name qemu-user"
		architectures+=("$name")
	fi
}

[ $# -gt 0 ] || set -- native
for group; do
	case $group in
	native)
		packages+=("${native[@]}")
		add_target amd64
		;;
	build) packages+=("${build[@]}") ;;
	publish) packages+=(umoci skopeo runc jq python3 python3-cyclonedx-lib python3-jsonschema python3-yaml wixl msitools
		osslsigncode python3-pefile python3-olefile openssl ca-certificates autopkgtest cosign
		gpg gpg-agent gpgv apt-utils createrepo-c dnf chromium chromium-driver python3-selenium) ;;
	release) packages+=(mmdebstrap uidmap git python3 python3-cryptography openssl ca-certificates gpg gpg-agent gpgv zstd devscripts libdistro-info-perl) ;;
	reproducible) packages+=(git reprotest disorderfs faketime) ;;
	bench) packages+=(g++ cmake make musl-tools musl-dev linux-perf hyperfine valgrind strace time python3) ;;
	*)
		# grep reads to the end (no -q): under pipefail, a printf cut short
		# by an early exit would fail the test.
		if printf '%s\n' "${targets[@]}" | grep -x -- "$group" >/dev/null; then
			add_target "$group"
		else
			echo "prerequisites.sh: unknown group '$group' (native, build, publish, release, reproducible, bench, or one of: ${targets[*]})" >&2
			exit 2
		fi
		;;
	esac
done
mapfile -t architectures < <(printf '%s\n' "${architectures[@]}" | sort -u | grep -vx -e "$(dpkg --print-architecture)" -e "")

if [ $list -eq 1 ]; then
	# shellcheck disable=SC2048,SC2086 # each target's packages are a list
	printf '%s\n' "${packages[@]}" ${for_target[*]} | sort -u | tr '\n' ' ' |
		sed "s/^/${architectures[*]}\n/; s/ $/\n/"
	exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
	echo "prerequisites.sh: run as root, or run these yourself:" >&2
	for arch in "${architectures[@]}"; do
		echo "  dpkg --add-architecture $arch" >&2
	done
	echo "  apt-get update && apt-get install -y --no-install-recommends ${packages[*]} ${for_target[*]}" >&2
	exit 1
fi
for arch in "${architectures[@]}"; do
	dpkg --add-architecture "$arch"
done
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync can serve, for hours, an index that does not
# match its InRelease. Try again a few times; then name each index still
# broken and the groups that may need it, and go on: apt installs from the
# indexes it has, and fails below only if what is asked for needs that one.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for try in 1 2 3; do
	apt-get update -q 2>&1 | tee "$log" && break
	[ "$try" -eq 3 ] || { echo "prerequisites.sh: apt-get update failed; again in $((try * 20)) s"; sleep $((try * 20)); }
done
{ grep '^E: Failed to fetch ' "$log" || true; } | while read -r _ _ _ _ url reason; do
	arch=$(echo "$url" | sed -n 's|.*/binary-\([a-z0-9]*\)/.*|\1|p') needs=
	for target in "${!for_target[@]}"; do
		case " ${for_target[$target]} " in *":$arch "*) needs="$needs $target" ;; esac
	done
	[ -n "$arch" ] && [ "$arch" != "$(dpkg --print-architecture)" ] || needs=" every group"
	echo "prerequisites.sh: apt cannot read $url (${reason%% \[*}); it may block:${needs:- none asked for}; going on"
done
for target in "${!for_target[@]}"; do
	for package in ${for_target[$target]}; do
		if ! apt-cache show "$package" >/dev/null 2>&1; then
			echo "prerequisites.sh: $target left out: this Debian has no $package"
			continue 2
		fi
	done
	read -ra more <<<"${for_target[$target]}"
	packages+=("${more[@]}")
done
# What it comes to, before the long part (wine's packages alone are about
# 2.5 GB on disk): apt's own summary, asked for and declined.
{ apt-get install --assume-no --no-install-recommends "${packages[@]}" 2>/dev/null || true; } | awk '
	/newly installed/ { n = $3 }
	/^Need to get/ { sub(/^Need to get /, ""); sub(/ of archives\.$/, ""); sub(/.*\//, ""); get = $0 }
	/^After this operation/ { sub(/^After this operation, /, ""); sub(/ of additional disk space will be used\.$/, ""); disk = $0 }
	END { if (n) printf "prerequisites.sh: installing %s packages: %s to download, %s on disk\n", n, get ? get : "nothing", disk ? disk : "no more" }'
apt-get install -y -q --no-install-recommends "${packages[@]}"
