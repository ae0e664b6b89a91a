#!/bin/sh
# SPDX-License-Identifier: MIT
# What the binary of the row NAME of cmake/targets.txt carries statically, as
# the release root's packages name it:
#
#   static-parts.sh NAME
#
# The C library (musl, or mingw-w64's runtime around msvcrt.dll) and the GCC
# runtime, which every static link takes in: a paragraph each, in Debian's
# control-file form, with the fields Part, License (SPDX), Package,
# Architecture, Version, Source and Source-Version.
set -eu
row=$1
# shellcheck disable=SC2046 # the four columns hold no spaces
set -- $("$(dirname "$0")/../../targets.sh" name="$row" system triple libc runner)
[ $# -eq 4 ] || { echo "no row $row in cmake/targets.txt" >&2; exit 1; }
system=$1 triple=$2 libc=$3 runner=$4
compiler=$triple-g++
if [ "$system" = windows ]; then
	c="mingw-w64-runtime|ZPL-2.1|$($compiler -print-file-name=crt2.o)"
else
	[ "$runner" != - ] || compiler=g++
	c="musl|MIT|/usr/lib/$libc/libc.a"
fi
printf '%s\n' "$c" "libgcc|GPL-3.0-or-later WITH GCC-exception-3.1|$($compiler -print-libgcc-file-name)" |
	while IFS='|' read -r name license file; do
		package=$(dpkg-query --search "$(realpath "$file")" | sed 's/: .*//')
		dpkg-query --show --showformat="Part: $name\nLicense: $license\nPackage: \${Package}\nArchitecture: \${Architecture}\nVersion: \${Version}\nSource: \${source:Package}\nSource-Version: \${source:Version}\n\n" "$package"
	done
