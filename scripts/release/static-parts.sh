#!/bin/sh
# SPDX-License-Identifier: MIT
# What one row's binary carries statically, as this root's packages name it:
#
#   static-parts.sh TRIPLE LIBC RUNNER     (in a release root)
#
# TRIPLE, LIBC and RUNNER are the row's columns of cmake/targets.txt.
# One line for each part, its fields apart by tabs: its name, its SPDX license,
# the binary package that holds it (package:architecture), that package's
# version, and its Debian source package and version. The parts are the C library's (musl, or
# mingw-w64's runtime around msvcrt.dll) and the GCC runtime's (libgcc and the
# start files beside it), which every static link takes in.
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
