#!/bin/bash
# SPDX-License-Identifier: MIT
# Install, from Debian's packages, what classbanner's builds and tests need:
#
#   scripts/prerequisites.sh [GROUP...]
#
# Groups:
#   native        (the default) compilers, analysers and test tools for the
#                 check, sanitize, release and package builds, musl for
#                 x86-64, and the packagers and their checkers
#   TARGET        a row of cmake/targets.txt (arm64, win32, ...): its cross
#                 compiler, its C library, and qemu-user or wine to run it
#   release       native and every target: what scripts/release.sh needs
#   reproducible  reprotest, disorderfs and faketime for scripts/reproducible.sh
#   bench         what bench/startup.sh measures with
#
# Runs `apt-get update` once, after adding any foreign architecture the
# targets need, then one `apt-get install`. A target whose packages this
# Debian does not carry (Debian 13 has no mips64el) is left out, in a line
# that says so. Run it as root.
set -euo pipefail
cd "$(dirname "$0")/.."

native=(
	g++ cmake make clang-tidy cppcheck shellcheck # build and static analysis
	strace bsdutils groff-base man-db             # tests: system calls, terminal, man page
	dpkg-dev file rpm cpio lintian rpmlint        # packages and their checkers
	git
)
mapfile -t targets < <(awk '/^[a-z]/ { print $1 }' cmake/targets.txt)

packages=() architectures=()
declare -A for_target # target: its packages
add_target() { # name: its compiler, C library and runner
	local name triple libc processor runner
	read -r name triple libc processor _ runner _ < <(grep "^$1 " cmake/targets.txt)
	if [ "$libc" = msvcrt.dll ]; then
		# wine32 comes only for i386: named bare, apt may pick another architecture.
		for_target[$name]="g++-mingw-w64-${processor//_/-} wine wine64 wine32:i386"
		architectures+=(i386)
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
	release)
		packages+=("${native[@]}")
		for target in "${targets[@]}"; do add_target "$target"; done
		;;
	reproducible) packages+=(git reprotest disorderfs faketime) ;;
	bench) packages+=(g++ cmake make musl-tools musl-dev linux-perf hyperfine valgrind strace time python3) ;;
	*)
		if printf '%s\n' "${targets[@]}" | grep -qx -- "$group"; then
			add_target "$group"
		else
			echo "prerequisites.sh: unknown group '$group' (native, release, reproducible, bench, or one of: ${targets[*]})" >&2
			exit 2
		fi
		;;
	esac
done

if [ "$(id -u)" -ne 0 ]; then
	echo "prerequisites.sh: run as root, or run these yourself:" >&2
	for arch in $(printf '%s\n' "${architectures[@]}" | sort -u); do
		echo "  dpkg --add-architecture $arch" >&2
	done
	echo "  apt-get update && apt-get install -y ${packages[*]} ${for_target[*]}" >&2
	exit 1
fi
for arch in $(printf '%s\n' "${architectures[@]}" | sort -u); do
	dpkg --add-architecture "$arch"
done
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
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
apt-get install -y -q "${packages[@]}"
