#!/bin/bash
# SPDX-License-Identifier: MIT
# Start-up cost of classbanner against the ways a user could print the same
# banner, against /bin/true, a program that does nothing at all, and against
# the floor (bench/floor.c), which does nothing but the write.
#
#   bench/startup.sh [--layout] [--install] [--release=DIST]
#
# The three builds of classbanner are measured as built, which is as the
# packages ship them (stripped as linked): static over musl (what we ship),
# static over glibc, dynamic over glibc. --layout adds the musl build relinked
# with and without each link option, and as a static PIE (ASLR), to show what
# each one pays. --install first installs what it measures with
# (scripts/prerequisites.sh bench); without it, it names what is missing and
# stops. --release=DIST adds the x86-64 binary of a release's dist/, built
# in the release's own root, which is then the shipped one. The last lines
# set the shipped binary against its targets.
#
# Not a test: wall times on a shared machine are noisy. They are measured in
# interleaved rounds (every command once per round, in a rotating order) and
# read as medians and ratios to /bin/true from the same run. Instruction
# counts (callgrind) do not depend on machine load, but glibc's do depend on
# the environment, which its start-up walks: every command runs in the same
# small fixed environment.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-15}   # interleaved rounds
runs=${RUNS:-200}      # timed starts of each command per round
layout=0 dist=
for arg; do
	case $arg in
	--layout) layout=1 ;;
	--install) scripts/prerequisites.sh bench >/dev/null ;;
	--release=*) dist=${arg#--release=} ;;
	*) echo "usage: bench/startup.sh [--layout] [--install] [--release=DIST]" >&2; exit 2 ;;
	esac
done

missing=()
for tool in musl-gcc perf hyperfine valgrind strace /usr/bin/time python3 cc; do
	command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
	echo "startup.sh: not installed: ${missing[*]}; run scripts/prerequisites.sh bench as root, or bench/startup.sh --install" >&2
	exit 1
fi
# The one environment every measured command starts in.
fixed=(env -i PATH=/usr/bin:/bin LC_ALL=C)

banner=tests/banner.txt
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# name|command (split into words by hyperfine, so quote as in a shell)
peers=()
shipped="musl static (shipped)"
if [ -n "$dist" ]; then
	tar -xzf "$dist"/classbanner-*-linux-x86_64.tar.gz -C "$tmp" --wildcards '*/bin/classbanner'
	mv "$tmp"/classbanner-*/bin/classbanner "$tmp/released"
	peers+=("classbanner, musl static, released (shipped)|$tmp/released")
	shipped="musl static, this machine's build"
fi
for build in "package|$shipped" "release-glibc|glibc static" "release-dynamic|glibc dynamic"; do
	preset=${build%%|*}
	cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" >/dev/null
	peers+=("classbanner, ${build#*|}|$PWD/build/$preset/classbanner")
done
peers+=(
	"/bin/true|/bin/true"
	"printf|/usr/bin/printf '%s\n' ---------------------------- 'Program BY:Norvelin' 'Class:1/12 No.28' ----------------------------- 1. 2. 3. ------------------------------"
	"cat banner.txt|/bin/cat $banner"
)

# The floor, with and without the CPUID probes of glibc's start-up (43 on
# this machine kind, static or dynamic).
cc -O2 -static -nostdlib -fno-stack-protector -o "$tmp/floor" bench/floor.c
peers+=("floor: write + exit, no libc|$tmp/floor")
cc -O2 -static -nostdlib -fno-stack-protector -DCPUID=43 -o "$tmp/floor-cpuid" bench/floor.c
peers+=("floor + 43 CPUID|$tmp/floor-cpuid")

if [ $layout -eq 1 ]; then
	# Relink the musl object with each layout, static and stripped as shipped.
	object=build/package/CMakeFiles/classbanner.dir/src/main.cpp.o
	variant() { # file, name, then linker options
		local file=$tmp/$1 name=$2
		shift 2
		c++ -specs /usr/lib/x86_64-linux-musl/musl-gcc.specs -static -static-libstdc++ -s \
			"$object" "$@" -o "$file"
		peers+=("musl, $name|$file")
	}
	variant default "default layout"
	variant norelro "norelro" -Wl,-z,norelro
	variant noseparate "noseparate-code" -Wl,-z,noseparate-code
	variant both "both (as shipped)" -Wl,-z,norelro -Wl,-z,noseparate-code
	variant gc "both, gc-sections" -Wl,-z,norelro -Wl,-z,noseparate-code -Wl,--gc-sections
	# A static PIE, which the kernel loads at a random address: musl's rcrt1.o
	# relocates it before main. The GCC driver file Debian's musl comes with
	# (musl-gcc.specs) ignores -static-pie and passes no -pie on, so the start
	# files and the linker's options are named here.
	musl=/usr/lib/x86_64-linux-musl
	# shellcheck disable=SC2054 # the commas are the linker options' own
	pie=(-nostartfiles "$musl/rcrt1.o" "$musl/crti.o" "$(c++ -print-file-name=crtbeginS.o)"
		-Wl,-pie,--no-dynamic-linker,-z,text,-z,noseparate-code)
	ends=("$(c++ -print-file-name=crtendS.o)" "$musl/crtn.o")
	variant pie "static PIE (ASLR)" "${pie[@]}" -Wl,-z,norelro "${ends[@]}"
	variant pie-relro "static PIE + RELRO, now" "${pie[@]}" -Wl,-z,relro -Wl,-z,now "${ends[@]}"
fi

names=() commands=()
for peer in "${peers[@]}"; do
	names+=("${peer%%|*}")
	commands+=("${peer#*|}")
done
count=${#peers[@]}

# Every peer but /bin/true must print exactly the banner.
for ((i = 0; i < count; i++)); do
	[ "${names[i]}" = /bin/true ] && continue
	eval "${fixed[*]} ${commands[i]}" | cmp -s - "$banner" ||
		{ echo "startup.sh: '${names[i]}' does not print the banner" >&2; exit 1; }
done

# Wall time, spawn to reap, in interleaved rounds.
for ((r = 0; r < rounds; r++)); do
	order=()
	for ((i = 0; i < count; i++)); do
		order+=("${commands[(i + r) % count]}")
	done
	"${fixed[@]}" hyperfine -N --style none --warmup 20 --runs "$runs" \
		--export-json "$tmp/round$r.json" "${order[@]}" >/dev/null 2>"$tmp/hyperfine" ||
		{ cat "$tmp/hyperfine" >&2; exit 1; }
done

# Instructions, system calls, page faults, peak RSS and file size.
for ((i = 0; i < count; i++)); do
	eval "${fixed[*]} valgrind --tool=callgrind --callgrind-out-file=/dev/null ${commands[i]}" \
		>/dev/null 2>"$tmp/callgrind"
	instructions=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$tmp/callgrind")
	eval "${fixed[*]} strace -o $tmp/strace ${commands[i]}" >/dev/null
	syscalls=$(grep -c -v '^[-+][-+][-+] ' "$tmp/strace")
	for ((k = 0; k < 21; k++)); do
		eval "${fixed[*]} /usr/bin/time -f '%M' -o $tmp/time ${commands[i]}" >/dev/null
		cat "$tmp/time"
	done >"$tmp/times"
	# Page faults of the process itself, from execve on: the mean of 51 starts.
	faults=$(eval "${fixed[*]} perf stat -r 51 -x, -e page-faults ${commands[i]}" 2>&1 >/dev/null | cut -d, -f1)
	rss=$(sort -n "$tmp/times" | sed -n 11p)
	size=$(stat -c %s "${commands[i]%% *}")
	printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "${names[i]}" "${commands[i]}" \
		"$instructions" "$syscalls" "$faults" "$rss" "$size"
done >"$tmp/counts"

python3 bench/report.py "$tmp" "$rounds"
