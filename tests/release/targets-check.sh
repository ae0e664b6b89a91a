#!/bin/sh
# SPDX-License-Identifier: MIT
# The targets table is read by column name, by its one reader, which CMake
# asks too:
#
#   targets-check.sh SOURCE_DIR CMAKE
#
# The reader and CMake's classbanner_target() give the same rows, column for
# column, from the table as it stands and from a copy whose columns stand in
# another order (all but the last, whose value may hold spaces, reversed), and
# a column the table lacks stops the reader.
# shellcheck disable=SC2015 # `A && B || fail` is meant: fail when either one fails.
set -eu
src=$1 cmake=$2
who=targets
# shellcheck source=scripts/preamble.sh
. "$(dirname "$0")/../../scripts/preamble.sh"

for layout in as-is reordered; do
	mkdir -p "$tmp/$layout/scripts" "$tmp/$layout/cmake"
	cp "$src/scripts/targets.sh" "$tmp/$layout/scripts/"
	cp "$src/cmake/targets.cmake" "$tmp/$layout/cmake/"
done
cp "$src/cmake/targets.txt" "$tmp/as-is/cmake/"
# reorder LINE: its fields but the last in reverse order.
awk 'function reorder(line,   n, f, i, out) {
		n = split(line, f, " ")
		for (i = 11; i <= n; i++) last = (i == 11 ? "" : last " ") f[i]
		out = ""
		for (i = 10; i >= 1; i--) out = out f[i] "  "
		return out last
	}
	/^#/ { if (header != "") print header; header = $0; next }
	!/^$/ && !rows { rows = 1; sub(/^# */, "", header); print "# " reorder(header); header = "" }
	rows { print reorder($0); next }
	{ print }' "$src/cmake/targets.txt" >"$tmp/reordered/cmake/targets.txt"
head -n 1 "$tmp/reordered/cmake/targets.txt" | grep '^# SPDX' >/dev/null || fail "the reordered copy lost the table's header"

columns="name system debian triple libc processor rpm image runner format machine"
for layout in as-is reordered; do
	# shellcheck disable=SC2086 # the column names
	sh "$tmp/$layout/scripts/targets.sh" $columns >"$tmp/$layout.sh.txt" ||
		fail "$layout: the reader failed"
	"$cmake" -D "TABLE_DIR=$tmp/$layout/cmake" -D "COLUMNS=$(echo "$columns" | tr ' ' ';')" \
		-P "$src/tests/release/targets-print.cmake" >"$tmp/$layout.cmake.txt" 2>&1 ||
		fail "$layout: CMake's reader failed: $(head -n 3 "$tmp/$layout.cmake.txt")"
	cmp -s "$tmp/$layout.sh.txt" "$tmp/$layout.cmake.txt" ||
		fail "$layout: CMake's reading differs: $(diff "$tmp/$layout.sh.txt" "$tmp/$layout.cmake.txt" | head -n 3)"
done
[ "$(wc -l <"$tmp/as-is.sh.txt")" -eq "$(grep -c '^[a-z]' "$src/cmake/targets.txt")" ] ||
	fail "the reader did not print every row"
cmp -s "$tmp/as-is.sh.txt" "$tmp/reordered.sh.txt" ||
	fail "reordering the columns changed what is read: $(diff "$tmp/as-is.sh.txt" "$tmp/reordered.sh.txt" | head -n 3)"
grep "$(printf '^amd64\tlinux\ttrixie\tx86_64-linux-gnu\t.*\tAdvanced Micro Devices X86-64$')" "$tmp/as-is.sh.txt" >/dev/null ||
	fail "amd64's row is not read as the table has it"

sh "$tmp/as-is/scripts/targets.sh" debian=bookworm name >"$tmp/bookworm" || fail "a filtered read failed"
[ "$(cat "$tmp/bookworm")" = "$(printf 'mips64el\nmipsel')" ] || fail "debian=bookworm picked: $(cat "$tmp/bookworm")"
if sh "$tmp/as-is/scripts/targets.sh" name colour >"$tmp/out" 2>"$tmp/err"; then
	fail "an unknown column did not stop the reader"
fi
[ "$(wc -l <"$tmp/err")" -eq 1 ] && grep 'no column colour' "$tmp/err" >/dev/null ||
	fail "an unknown column is not named in one line: $(cat "$tmp/err")"
exit "$failed"
