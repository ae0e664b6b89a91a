# SPDX-License-Identifier: MIT
# Linux x86-64 over musl (Debian's musl-tools and musl-dev): the C library of
# the binary we ship. Same processor and kernel as the build machine, so the
# tests run natively.

set(musl_triple x86_64-linux-musl)
set(musl_packages musl-tools)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
