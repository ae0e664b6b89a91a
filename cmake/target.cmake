# SPDX-License-Identifier: MIT
# The toolchain for one row of targets.txt, named by CLASSBANNER_TARGET.
# Linux: static over Debian's musl-dev for that architecture, through its
# musl-gcc.specs and the architecture's g++, run under qemu-user. Windows:
# mingw-w64, whose C runtime is msvcrt.dll, run under wine. The program is the
# same source everywhere.

# Configure's own test builds read this file again, and need the target too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CLASSBANNER_TARGET CLASSBANNER_MUSL_OPTIONAL)
include(${CMAKE_CURRENT_LIST_DIR}/targets.cmake)
classbanner_target(name "${CLASSBANNER_TARGET}")
if(NOT target_name)
  list(JOIN target_names ", " rows)
  # The project stops on these, in one line, once CMake has set up a compiler.
  set(CLASSBANNER_TOOLCHAIN_ERROR
    "no target '${CLASSBANNER_TARGET}' in cmake/targets.txt: set CLASSBANNER_TARGET to one of ${rows}")
  return()
endif()

if(target_system STREQUAL "windows")
  set(CMAKE_SYSTEM_NAME Windows)
  set(CMAKE_SYSTEM_PROCESSOR ${target_processor})
  set(CMAKE_C_COMPILER ${target_triple}-gcc)
  set(CMAKE_CXX_COMPILER ${target_triple}-g++)
  set(CMAKE_RC_COMPILER ${target_triple}-windres)
  set(CMAKE_FIND_ROOT_PATH /usr/${target_triple})
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  # Carry the GCC runtime inside the .exe, so that it needs no DLL beyond
  # msvcrt.dll and KERNEL32.dll. No link timestamp, so builds are reproducible.
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")
  # What configure must find the program linked against, or stop.
  set(CLASSBANNER_WANT_LIBC msvcrt.dll)
else()
  set(musl_dir /usr/lib/${target_libc})
  set(native ON)
  if(NOT target_processor STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
    set(native OFF)
    set(CMAKE_SYSTEM_NAME Linux)
    set(CMAKE_SYSTEM_PROCESSOR ${target_processor})
    set(CMAKE_CXX_COMPILER ${target_triple}-g++)
  endif()
  if(NOT EXISTS ${musl_dir}/musl-gcc.specs)
    if(CLASSBANNER_MUSL_OPTIONAL AND native)
      return() # the system's own C library, natively
    endif()
    set(CLASSBANNER_TOOLCHAIN_ERROR
      "musl for ${target_name} is not installed: scripts/prerequisites.sh ${target_name}")
    return()
  endif()
  set(CMAKE_CXX_FLAGS_INIT "-specs ${musl_dir}/musl-gcc.specs")
  # The system's libstdc++ is built for glibc. The program uses nothing of it:
  # take the static archive, from which nothing is then pulled in.
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++")
  set(CLASSBANNER_WANT_LIBC musl)
endif()
if(CMAKE_CXX_COMPILER)
  find_program(compiler ${CMAKE_CXX_COMPILER} NO_CACHE)
  if(NOT compiler)
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} is not installed: scripts/prerequisites.sh ${target_name}")
  endif()
endif()

if(NOT target_runner STREQUAL "-")
  find_program(CLASSBANNER_RUNNER ${target_runner})
  if(CLASSBANNER_RUNNER AND target_system STREQUAL "windows")
    # wine through scripts/wine.sh: 64-bit rows without wine's 32-bit
    # loader; 32-bit rows under this qemu-i386 where the kernel runs no
    # 32-bit x86 code.
    find_program(CLASSBANNER_QEMU_I386 qemu-i386)
    if(NOT CLASSBANNER_QEMU_I386)
      set(CLASSBANNER_QEMU_I386 -)
    endif()
    set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine.sh ${target_processor} ${CLASSBANNER_QEMU_I386})
  elseif(CLASSBANNER_RUNNER)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CLASSBANNER_RUNNER})
  endif()
endif()
