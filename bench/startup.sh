#!/bin/bash
# Start-up cost of classbanner against the ways a user could print the same
# banner, and against /bin/true, a program that does nothing at all.
#
#   bench/startup.sh [--layout]
#
# --layout adds a second table: the static binary relinked with and without
# each link-layout option, to show what each one pays.
#
# Not a test: wall times on a shared machine are noisy. They are measured in
# interleaved rounds (every command once per round, in a rotating order) and
# read as medians and ratios to /bin/true from the same run. Instruction
# counts (callgrind) do not depend on machine load.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=${ROUNDS:-15}   # interleaved rounds
runs=${RUNS:-200}      # timed starts of each command per round
layout=0
[ "${1:-}" = --layout ] && layout=1

# hyperfine, valgrind, strace and GNU time come from Debian's packages.
missing=()
for tool in hyperfine:hyperfine valgrind:valgrind strace:strace /usr/bin/time:time python3:python3; do
	command -v "${tool%%:*}" >/dev/null 2>&1 || missing+=("${tool#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
	[ "$(id -u)" -eq 0 ] || { echo "startup.sh: install ${missing[*]}" >&2; exit 1; }
	apt-get update -q >/dev/null
	DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null
fi

cmake --workflow --preset release >/dev/null
cmake --workflow --preset release-dynamic >/dev/null

banner=tests/banner.txt
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# name|command (split into words by hyperfine, so quote as in a shell)
peers=(
	"classbanner|build/release/classbanner"
	"classbanner, dynamic|build/release-dynamic/classbanner"
	"/bin/true|/bin/true"
	"printf|/usr/bin/printf '%s\n' ---------------------------- 'Program BY:Norvelin' 'Class:1/12 No.28' ----------------------------- 1. 2. 3. ------------------------------"
	"cat banner.txt|/bin/cat $banner"
)

# The floor: one write(2) and exit(2), no C library, no start-up code at all.
cat >"$tmp/floor.c" <<'FLOOR'
static const char banner[] = "----------------------------\nProgram BY:Norvelin\n"
	"Class:1/12 No.28\n-----------------------------\n1.\n2.\n3.\n"
	"------------------------------\n";
void _start(void)
{
	long ret;
	for (int i = 0; i < CPUID; i++) { /* as many as glibc's start-up probes */
		unsigned a = 0, b, c = 0, d;
		__asm__ volatile("cpuid" : "+a"(a), "=b"(b), "+c"(c), "=d"(d));
	}
	__asm__ volatile("syscall" : "=a"(ret)
			 : "a"(1L), "D"(1L), "S"(banner), "d"(sizeof banner - 1)
			 : "rcx", "r11", "memory");
	__asm__ volatile("syscall" : : "a"(60L), "D"(0L) : "rcx", "r11", "memory");
	__builtin_unreachable();
}
FLOOR
cc -O2 -static -nostdlib -fno-stack-protector -DCPUID=0 -o "$tmp/floor" "$tmp/floor.c"
peers+=("floor: write + exit, no libc|$tmp/floor")
# glibc's start-up, static or dynamic, runs CPUID 43 times on this machine kind
# (CPU features, cache sizes); under a hypervisor each one traps.
cc -O2 -static -nostdlib -fno-stack-protector -DCPUID=43 -o "$tmp/floor-cpuid" "$tmp/floor.c"
peers+=("floor + 43 CPUID|$tmp/floor-cpuid")

if [ $layout -eq 1 ]; then
	# Relink the release object with each layout; -static as the release is.
	object=build/release/CMakeFiles/classbanner.dir/src/main.cpp.o
	variant() { # file, name, then linker options
		local file=$tmp/$1 name=$2
		shift 2
		c++ -static "$object" "$@" -o "$file"
		peers+=("static, $name|$file")
	}
	variant default "default layout"
	variant norelro "norelro" -Wl,-z,norelro
	variant noseparate "noseparate-code" -Wl,-z,noseparate-code
	variant both "both (as released)" -Wl,-z,norelro -Wl,-z,noseparate-code
	variant gc "both, gc-sections" -Wl,-z,norelro -Wl,-z,noseparate-code -Wl,--gc-sections
	variant strip "both, stripped" -Wl,-z,norelro -Wl,-z,noseparate-code -s
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
	eval "${commands[i]}" | cmp -s - "$banner" ||
		{ echo "startup.sh: '${names[i]}' does not print the banner" >&2; exit 1; }
done

# Wall time, spawn to reap, in interleaved rounds.
for ((r = 0; r < rounds; r++)); do
	order=()
	for ((i = 0; i < count; i++)); do
		order+=("${commands[(i + r) % count]}")
	done
	hyperfine -N --style none --warmup 20 --runs "$runs" \
		--export-json "$tmp/round$r.json" "${order[@]}" >/dev/null 2>"$tmp/hyperfine" ||
		{ cat "$tmp/hyperfine" >&2; exit 1; }
done

# Instructions, system calls, page faults and peak RSS of one start each.
for ((i = 0; i < count; i++)); do
	eval "valgrind --tool=callgrind --callgrind-out-file=/dev/null ${commands[i]}" \
		>/dev/null 2>"$tmp/callgrind"
	instructions=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$tmp/callgrind")
	eval "strace -f -c -o $tmp/strace ${commands[i]}" >/dev/null
	syscalls=$(awk '$NF == "total" { print $4 }' "$tmp/strace")
	for ((k = 0; k < 21; k++)); do
		eval "/usr/bin/time -f '%R %M' -o $tmp/time ${commands[i]}" >/dev/null
		cat "$tmp/time"
	done >"$tmp/times"
	faults=$(cut -d' ' -f1 "$tmp/times" | sort -n | sed -n 11p)
	rss=$(cut -d' ' -f2 "$tmp/times" | sort -n | sed -n 11p)
	printf '%s\t%s\t%s\t%s\t%s\t%s\n' "${names[i]}" "${commands[i]}" \
		"$instructions" "$syscalls" "$faults" "$rss"
done >"$tmp/counts"

python3 - "$tmp" "$rounds" <<'EOF'
import json, statistics, sys
tmp, rounds = sys.argv[1], int(sys.argv[2])
times = {}
for r in range(rounds):
    for result in json.load(open(f"{tmp}/round{r}.json"))["results"]:
        times.setdefault(result["command"], []).extend(result["times"])
rows = [line.rstrip("\n").split("\t") for line in open(f"{tmp}/counts")]
median = {command: statistics.median(t) * 1e6 for command, t in times.items()}
base = next(r for r in rows if r[0] == "/bin/true")
base_us, base_instr = median[base[1]], int(base[2])
print(f"{'command':<28} {'median us':>9} {'x true':>6} {'instructions':>12} {'x true':>6}"
      f" {'syscalls':>8} {'faults':>6} {'RSS KiB':>7}")
for name, command, instr, calls, faults, rss in rows:
    us = median[command]
    print(f"{name:<28} {us:9.0f} {us / base_us:6.2f} {int(instr):12,d} {int(instr) / base_instr:6.2f}"
          f" {calls:>8} {faults:>6} {rss:>7}")
print(f"\n{rounds} interleaved rounds x {len(times[base[1]]) // rounds} starts per command;"
      " wall time is spawn to reap (hyperfine -N); instructions: callgrind;"
      " syscalls: strace -c; faults and RSS: GNU time, median of 21 starts.")
EOF
