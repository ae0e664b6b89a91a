#!/bin/bash
# SPDX-License-Identifier: MIT
# Start-up cost of classbanner against the ways a user could print the same
# banner, and against /bin/true, a program that does nothing at all.
#
#   bench/startup.sh [--layout]
#
# The three builds of classbanner are measured stripped, as the packages ship
# them: static over musl (what we ship), static over glibc, dynamic over glibc.
# --layout adds the musl build relinked with and without each link option, to
# show what each one pays. The last lines set the shipped binary against its
# targets.
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

# musl, perf, hyperfine, valgrind, strace and GNU time come from Debian's
# packages.
missing=()
for tool in musl-gcc:musl-tools perf:linux-perf hyperfine:hyperfine valgrind:valgrind strace:strace /usr/bin/time:time python3:python3; do
	command -v "${tool%%:*}" >/dev/null 2>&1 || missing+=("${tool#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
	[ "$(id -u)" -eq 0 ] || { echo "startup.sh: install ${missing[*]}" >&2; exit 1; }
	apt-get update -q >/dev/null
	DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null
fi

banner=tests/banner.txt
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# name|command (split into words by hyperfine, so quote as in a shell)
peers=()
for build in "package|musl static (shipped)" "release-glibc|glibc static" "release-dynamic|glibc dynamic"; do
	preset=${build%%|*}
	cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" >/dev/null
	strip -o "$tmp/$preset" "build/$preset/classbanner"
	peers+=("classbanner, ${build#*|}|$tmp/$preset")
done
peers+=(
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

# Instructions, system calls, page faults, peak RSS and file size.
for ((i = 0; i < count; i++)); do
	eval "valgrind --tool=callgrind --callgrind-out-file=/dev/null ${commands[i]}" \
		>/dev/null 2>"$tmp/callgrind"
	instructions=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$tmp/callgrind")
	eval "strace -o $tmp/strace ${commands[i]}" >/dev/null
	syscalls=$(grep -c -v '^[-+][-+][-+] ' "$tmp/strace")
	for ((k = 0; k < 21; k++)); do
		eval "/usr/bin/time -f '%M' -o $tmp/time ${commands[i]}" >/dev/null
		cat "$tmp/time"
	done >"$tmp/times"
	# Page faults of the process itself, from execve on: the mean of 51 starts.
	faults=$(eval "perf stat -r 51 -x, -e page-faults ${commands[i]}" 2>&1 >/dev/null | cut -d, -f1)
	rss=$(sort -n "$tmp/times" | sed -n 11p)
	size=$(stat -c %s "${commands[i]%% *}")
	printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "${names[i]}" "${commands[i]}" \
		"$instructions" "$syscalls" "$faults" "$rss" "$size"
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
floor = next(r for r in rows if r[0].startswith("floor:"))
print(f"{'command':<34} {'median us':>9} {'x true':>6} {'x floor':>7} {'instructions':>12}"
      f" {'syscalls':>8} {'faults':>6} {'RSS KiB':>7} {'bytes':>8}")
for name, command, instr, calls, faults, rss, size in rows:
    us = median[command]
    print(f"{name:<34} {us:9.0f} {us / base_us:6.2f} {us / median[floor[1]]:7.2f} {int(instr):12,d}"
          f" {calls:>8} {faults:>6} {rss:>7} {int(size):8,d}")
print(f"\n{rounds} interleaved rounds x {len(times[base[1]]) // rounds} starts per command;"
      " wall time is spawn to reap (hyperfine -N); instructions: callgrind;"
      " syscalls: strace, execve and exit included; faults: perf stat, mean of 51 starts;"
      " RSS: GNU time, median of 21 starts;"
      " bytes: the file as run (classbanner stripped, as shipped).")

shipped = next(r for r in rows if "(shipped)" in r[0])
us = median[shipped[1]]
targets = [
    ("wall time x floor", us / median[floor[1]], 1.25),
    ("wall time x /bin/true", us / base_us, 0.30),
    ("instructions", int(shipped[2]), 3000),
    ("system calls", int(shipped[3]), 6),
    ("stripped size, KiB", int(shipped[6]) / 1024, 32),
    ("page faults over the floor's", float(shipped[4]) - float(floor[4]), 3),
]
print("\nshipped binary against its targets:")
for what, got, most in targets:
    print(f"  {what:<30} {got:10.2f}  at most {most:<6} {'met' if got <= most else 'MISSED'}")
EOF
