# SPDX-License-Identifier: MIT
# Cross-build the Windows x86-64 console executable with Debian's mingw-w64
# toolchain (its C runtime is msvcrt.dll) and run it under wine.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CLASSBANNER_LIBC msvcrt.dll)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Carry the GCC runtime inside the .exe, so that it needs no DLL beyond
# msvcrt.dll and KERNEL32.dll. No link timestamp, so builds are reproducible.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")
# Strip at link time: the cross strip would stamp the time into the .exe.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

find_program(WINE_EXECUTABLE wine)
if(WINE_EXECUTABLE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_EXECUTABLE})
endif()
