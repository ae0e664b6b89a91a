# SPDX-License-Identifier: MIT
# Cross-build for Linux on arm64 over musl, with Debian's aarch64 GCC and the
# arm64 musl-dev, and run the tests under qemu-user.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(musl_triple aarch64-linux-musl)
set(musl_packages "g++-aarch64-linux-gnu musl-dev:arm64 (after dpkg --add-architecture arm64)")
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)

find_program(QEMU_AARCH64_EXECUTABLE qemu-aarch64)
if(QEMU_AARCH64_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64_EXECUTABLE})
endif()
