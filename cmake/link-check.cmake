# SPDX-License-Identifier: MIT
# Link the program itself with the build's compiler, flags and link options,
# and read off what came out: the C library it carries (CLASSBANNER_LIBC) and
# whether it needs a program interpreter (CLASSBANNER_LINKAGE). What configure
# prints comes from here, never from what a toolchain file meant: CMake keeps
# the flags of a folder's first configure, so a folder first set up without
# musl stays over glibc once musl is installed.

try_compile(linked SOURCES ${PROJECT_SOURCE_DIR}/src/main.cpp
  CXX_STANDARD 20 CXX_EXTENSIONS OFF
  LINK_OPTIONS ${CLASSBANNER_LINK_OPTIONS}
  NO_CACHE COPY_FILE ${PROJECT_BINARY_DIR}/link-check
  OUTPUT_VARIABLE log)
if(NOT linked)
  message(FATAL_ERROR "classbanner: the program does not link with this build's settings:\n${log}")
endif()

# glibc marks its symbol versions and tunables GLIBC_; musl's strerror has a
# text of its own; a Windows program names the DLLs it imports.
file(STRINGS ${PROJECT_BINARY_DIR}/link-check markers REGEX "GLIBC_|No error information|msvcrt\\.dll")
if(markers MATCHES "msvcrt\\.dll")
  set(CLASSBANNER_LIBC msvcrt.dll)
elseif(markers MATCHES "GLIBC_")
  set(CLASSBANNER_LIBC glibc)
elseif(markers MATCHES "No error information")
  set(CLASSBANNER_LIBC musl)
else()
  set(CLASSBANNER_LIBC "an unknown C library")
endif()

if(WIN32)
  set(CLASSBANNER_LINKAGE dynamic)
else()
  execute_process(COMMAND ${CMAKE_READELF} -l -W ${PROJECT_BINARY_DIR}/link-check
    OUTPUT_VARIABLE segments COMMAND_ERROR_IS_FATAL ANY)
  if(segments MATCHES "\n *(INTERP|DYNAMIC) ")
    set(CLASSBANNER_LINKAGE dynamic)
  else()
    set(CLASSBANNER_LINKAGE static)
  endif()
endif()

if(CLASSBANNER_WANT_LIBC AND NOT CLASSBANNER_LIBC STREQUAL CLASSBANNER_WANT_LIBC)
  message(FATAL_ERROR "classbanner: this folder links over ${CLASSBANNER_LIBC}, not ${CLASSBANNER_WANT_LIBC}: CMake kept the flags of its first configure; start afresh with --fresh (cmake --workflow --preset NAME --fresh) or remove ${PROJECT_BINARY_DIR}")
endif()
if(CLASSBANNER_STATIC AND NOT CLASSBANNER_LINKAGE STREQUAL "static")
  message(FATAL_ERROR "classbanner: asked to link statically, but the program came out ${CLASSBANNER_LINKAGE}")
endif()
