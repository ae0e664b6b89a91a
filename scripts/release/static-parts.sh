#!/bin/sh
# SPDX-License-Identifier: MIT
# What a row's binary carries statically, as the release root's packages name
# it, given the row's columns of cmake/targets.txt:
#
#   static-parts.sh TRIPLE LIBC RUNNER
#
# The C library (musl, or mingw-w64's runtime around msvcrt.dll) and the GCC
# runtime, which every static link takes in: for each a line of name, SPDX
# license, package:architecture, version, source and its version, tab apart.
set -eu
triple=$1 libc=$2 runner=$3
if [ "$libc" = msvcrt.dll ]; then
	compiler=$triple-g++
	c="mingw-w64-runtime|ZPL-2.1|$($compiler -print-file-name=crt2.o)"
else
	compiler=$triple-g++
	[ "$runner" != - ] || compiler=g++
	c="musl|MIT|/usr/lib/$libc/libc.a"
fi
printf '%s\n' "$c" "libgcc|GPL-3.0-or-later WITH GCC-exception-3.1|$($compiler -print-libgcc-file-name)" |
	while IFS='|' read -r name license file; do
		package=$(dpkg-query --search "$(realpath "$file")" | sed 's/: .*//')
		dpkg-query --show --showformat="$name\t$license\t\${Package}:\${Architecture}\t\${Version}\t\${source:Package}\t\${source:Version}\n" "$package"
	done
