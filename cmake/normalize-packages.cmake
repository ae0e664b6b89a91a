# SPDX-License-Identifier: MIT
# Run by CPack after it makes each package, to take out of it what depends on
# the builder's disk and umask, not on the source:
# - a .tar.gz lists its members in the order the file system gave them: write
#   it again with GNU tar, in name order, owned by root, with no group- or
#   world-writable mode, and stamped with the packages' one time (which
#   stamp-package-files.cmake set);
# - a .deb's three members carry the umask in their modes: pack them again
#   with ar's deterministic mode, each rw-r--r--.

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
  elseif(package MATCHES "\\.deb$")
    set(members debian-binary control.tar.gz data.tar.gz)
    execute_process(COMMAND ar x ${package} ${members}
      WORKING_DIRECTORY ${unpacked} COMMAND_ERROR_IS_FATAL ANY)
    list(TRANSFORM members PREPEND ${unpacked}/ OUTPUT_VARIABLE paths)
    file(CHMOD ${paths} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(REMOVE ${package})
    execute_process(COMMAND ar rcD ${package} ${members}
      WORKING_DIRECTORY ${unpacked} COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${unpacked})
endforeach()
