#!/bin/sh
# SPDX-License-Identifier: MIT
# The one reader of cmake/targets.txt, by column name, for every script and
# for CMake (cmake/targets.cmake):
#
#   scripts/targets.sh [COLUMN=VALUE...] COLUMN...
#   scripts/targets.sh --columns
#
# For each row whose COLUMNs hold those VALUEs, in the table's order, print
# the COLUMNs asked for, apart by tabs; with --columns, the columns' names.
# The columns are named by the comment line just above the first row (every
# line that is neither a comment nor blank is a row); the last column's value
# may hold spaces. A column the table does not have stops it, in one line.
set -eu
exec awk '
BEGIN {
	for (i = 2; i < ARGC; i++) {
		eq = index(ARGV[i], "=")
		if (ARGV[i] == "--columns") names_only = 1
		else if (eq) { nwhere++; where[nwhere] = substr(ARGV[i], 1, eq - 1); value[nwhere] = substr(ARGV[i], eq + 1) }
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
	if (names_only) {
		for (i = 1; i <= ncolumns; i++) printf "%s%s", names[i], (i < ncolumns ? "\t" : "\n")
		exit
	}
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
