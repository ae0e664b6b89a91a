# SPDX-License-Identifier: MIT
# Run by CPack after it makes each package, to take out of it what depends on
# the builder's disk and umask, not on the source:
# - a .tar.gz lists its members in the order the file system gave them: write
#   it again with GNU tar, in name order, owned by root, with no group- or
#   world-writable mode, and stamped with the packages' one time (which
#   stamp-package-files.cmake set).

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  set(unpacked ${CPACK_TOPLEVEL_DIRECTORY}/normalized)
  file(REMOVE_RECURSE ${unpacked})
  file(MAKE_DIRECTORY ${unpacked})
  if(package MATCHES "\\.tar\\.gz$")
    execute_process(COMMAND tar -xpzf ${package} -C ${unpacked} COMMAND_ERROR_IS_FATAL ANY)
    file(GLOB top RELATIVE ${unpacked} ${unpacked}/*)
    set(stamp "")
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
      set(stamp --mtime=@$ENV{SOURCE_DATE_EPOCH})
    endif()
    execute_process(
      COMMAND tar -C ${unpacked} --sort=name --format=gnu --owner=0 --group=0 --numeric-owner
        --mode=go-w ${stamp} -cf - ${top}
      COMMAND gzip -9 -n
      OUTPUT_FILE ${package}
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${unpacked})
endforeach()
