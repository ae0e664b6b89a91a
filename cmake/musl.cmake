# SPDX-License-Identifier: MIT
# The part every musl toolchain file shares: link over musl with the system's
# GCC through musl-gcc.specs from Debian's musl-dev, whose headers, start files
# and libc.a take the place of glibc's. The including file sets musl_triple and
# musl_packages (what to install when musl is missing).

set(musl_dir /usr/lib/${musl_triple})
if(NOT EXISTS ${musl_dir}/musl-gcc.specs)
  # The project stops on this, in one line, once CMake has set up a compiler.
  set(CLASSBANNER_TOOLCHAIN_ERROR "musl is not installed: apt-get install ${musl_packages}")
  return()
endif()

set(CMAKE_CXX_FLAGS_INIT "-specs ${musl_dir}/musl-gcc.specs")
# The system's libstdc++ is built for glibc. The program uses nothing of it:
# take the static archive, from which nothing is then pulled in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++")
set(CLASSBANNER_LIBC musl)
set(CLASSBANNER_LIBC_ARCHIVE ${musl_dir}/libc.a)
