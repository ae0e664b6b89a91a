# SPDX-License-Identifier: MIT
# Over musl where Debian's musl packages are installed, else over the system's
# own C library: the release build works on a machine without musl too.

if(EXISTS /usr/lib/x86_64-linux-musl/musl-gcc.specs)
  include(${CMAKE_CURRENT_LIST_DIR}/musl-x86_64.cmake)
endif()
