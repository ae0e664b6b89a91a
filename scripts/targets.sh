#!/bin/sh
# SPDX-License-Identifier: MIT
# Read cmake/targets.txt by column name, as every script here does:
#
#   scripts/targets.sh [COLUMN=VALUE...] COLUMN...
#
# For each row whose COLUMNs hold those VALUEs, in the table's order, print
# the COLUMNs asked for, apart by tabs. The columns are named by the comment
# line just above the first row (every line that is neither a comment nor
# blank is a row); the last column's value may hold spaces. A
# column the table does not have stops it, in one line. (CMake reads the table
# the same way, by the same names: cmake/targets.cmake.)
set -eu
exec awk '
BEGIN {
	for (i = 2; i < ARGC; i++) {
		eq = index(ARGV[i], "=")
		if (eq) { nwhere++; where[nwhere] = substr(ARGV[i], 1, eq - 1); value[nwhere] = substr(ARGV[i], eq + 1) }
		else { nwant++; want[nwant] = ARGV[i] }
	}
	ARGC = 2
}
/^#/ { header = $0; next }
/^[ \t]*$/ { next }
!ncolumns {
	sub(/^# */, "", header)
	ncolumns = split(header, names, " ")
	for (i = 1; i <= ncolumns; i++) column[names[i]] = i
	for (i = 1; i <= nwhere; i++) known(where[i])
	for (i = 1; i <= nwant; i++) known(want[i])
}
{
	n = split($0, f, " ")
	for (i = ncolumns + 1; i <= n; i++) f[ncolumns] = f[ncolumns] " " f[i]
	for (i = 1; i <= nwhere; i++) if (f[column[where[i]]] != value[i]) next
	line = ""
	for (i = 1; i <= nwant; i++) line = line (i > 1 ? "\t" : "") f[column[want[i]]]
	print line
}
function known(name) {
	if (!(name in column)) {
		print "targets.sh: cmake/targets.txt has no column " name > "/dev/stderr"
		exit 2
	}
}' "$(dirname "$0")/../cmake/targets.txt" "$@"
