# SPDX-License-Identifier: MIT
"""The table and the targets that bench/startup.sh prints.

    python3 bench/report.py TMP ROUNDS

TMP holds round<r>.json, hyperfine's export of each interleaved round, and
counts, one line a command: name, command, instructions, system calls, page
faults, peak RSS in KiB and file size, tab-separated.
"""
import json
import statistics
import sys

tmp, rounds = sys.argv[1], int(sys.argv[2])
times = {}
for r in range(rounds):
    with open(f"{tmp}/round{r}.json") as f:
        for result in json.load(f)["results"]:
            times.setdefault(result["command"], []).extend(result["times"])
with open(f"{tmp}/counts") as f:
    rows = [line.rstrip("\n").split("\t") for line in f]
median = {command: statistics.median(t) * 1e6 for command, t in times.items()}
base = next(r for r in rows if r[0] == "/bin/true")
floor = next(r for r in rows if r[0].startswith("floor:"))
base_us, floor_us = median[base[1]], median[floor[1]]

print(f"{'command':<34} {'median us':>9} {'x true':>6} {'x floor':>7} {'instructions':>12}"
      f" {'syscalls':>8} {'faults':>6} {'RSS KiB':>7} {'bytes':>8}")
for name, command, instr, calls, faults, rss, size in rows:
    us = median[command]
    print(f"{name:<34} {us:9.0f} {us / base_us:6.2f} {us / floor_us:7.2f} {int(instr):12,d}"
          f" {calls:>8} {faults:>6} {rss:>7} {int(size):8,d}")
print(f"\n{rounds} interleaved rounds x {len(times[base[1]]) // rounds} starts per command;"
      " wall time is spawn to reap (hyperfine -N); instructions: callgrind;"
      " syscalls: strace, execve and exit included; faults: perf stat, mean of 51 starts;"
      " RSS: GNU time, median of 21 starts; bytes: the file as run;"
      " every command run in the same small fixed environment.")

shipped = next(r for r in rows if "(shipped)" in r[0])
us = median[shipped[1]]
targets = [
    ("wall time x floor", us / floor_us, 1.25),
    ("wall time x /bin/true", us / base_us, 0.30),
    ("instructions", int(shipped[2]), 3000),
    ("system calls", int(shipped[3]), 6),
    ("stripped size, KiB", int(shipped[6]) / 1024, 20),
    ("page faults over the floor's", float(shipped[4]) - float(floor[4]), 3),
]
print("\nshipped binary against its targets:")
for what, got, most in targets:
    print(f"  {what:<30} {got:10.2f}  at most {most:<6} {'met' if got <= most else 'MISSED'}")
