# SPDX-License-Identifier: MIT
# What `cmake --install` lays out, and the packages CPack makes of it: an .rpm
# and a .tar.gz on Linux, a .zip on Windows, each named for the row of
# cmake/targets.txt this build is for (debian/ makes the .deb). Every file in them is the same bytes
# from the same commit, whoever builds it, wherever and with whatever umask.

set(CLASSBANNER_MAINTAINER "classbanner maintainers <maintainers@classbanner.example>")
# Packages are stamped with one time: SOURCE_DATE_EPOCH, else the time the
# source archive holds, else the last commit's.
set(CLASSBANNER_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(NOT CLASSBANNER_SOURCE_DATE_EPOCH AND EXISTS ${PROJECT_SOURCE_DIR}/SOURCE_DATE_EPOCH)
  file(STRINGS ${PROJECT_SOURCE_DIR}/SOURCE_DATE_EPOCH CLASSBANNER_SOURCE_DATE_EPOCH LIMIT_COUNT 1)
endif()
if(NOT CLASSBANNER_SOURCE_DATE_EPOCH)
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE CLASSBANNER_SOURCE_DATE_EPOCH
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
# The man page is dated by that time too.
set(ENV{SOURCE_DATE_EPOCH} "${CLASSBANNER_SOURCE_DATE_EPOCH}")
string(TIMESTAMP CLASSBANNER_DATE "%Y-%m-%d" UTC)
unset(ENV{SOURCE_DATE_EPOCH})
# Folders are made rwxr-xr-x whatever the builder's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})

# --- Install components ------------------------------------------------------
# `cmake --install` lays out the program and its man page. The files only one
# kind of package carries are in components left out of it.

if(WIN32)
  # A Windows user unpacks the .zip and finds the program at its top.
  install(TARGETS classbanner RUNTIME DESTINATION . COMPONENT program)
  install(FILES README.md LICENSE DESTINATION . COMPONENT program)
else()
  install(TARGETS classbanner COMPONENT program)
  configure_file(man/classbanner.1.in classbanner.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/classbanner.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT man)
  # The archive's top folder: the README and the license beside bin/ and share/.
  install(FILES README.md LICENSE DESTINATION . COMPONENT archive EXCLUDE_FROM_ALL)

  # RPM wants man pages gzip-compressed; -n leaves out the name and time
  # stamp, so that the file is reproducible.
  add_custom_command(OUTPUT classbanner.1.gz
    COMMAND gzip -9 -n -c classbanner.1 > classbanner.1.gz
    DEPENDS ${PROJECT_BINARY_DIR}/classbanner.1)
  add_custom_target(compressed-docs ALL DEPENDS classbanner.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/classbanner.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT rpm EXCLUDE_FROM_ALL)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/licenses/${PROJECT_NAME}
    COMPONENT rpm EXCLUDE_FROM_ALL)
endif()

# --- Packages ----------------------------------------------------------------

set(CPACK_PACKAGE_VENDOR "classbanner")
set(CPACK_PACKAGE_CONTACT "${CLASSBANNER_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION [[classbanner writes a fixed eight-line class banner to standard output
and exits. It takes no options and reads no input, environment or file.]])
if(NOT "LINKER:-s" IN_LIST CLASSBANNER_LINK_OPTIONS)
  set(CPACK_STRIP_FILES ON) # a release build is stripped as it is linked
endif()
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME ${target_name})
else()
  set(CPACK_GENERATOR TGZ RPM)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-linux-${target_processor})
  # Which components each kind of package takes, and what each package must
  # not take from the builder's disk and umask.
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/package-contents.cmake)
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/normalize-packages.cmake)

  set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${target_rpm})
  set(CPACK_RPM_PACKAGE_LICENSE MIT)
  set(CPACK_RPM_PACKAGE_GROUP "Applications/Text")
  set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
  # Directories the system owns; the package owns only its own files.
  set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/man /usr/share/man/man1 /usr/share/licenses)
  set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/${PROJECT_NAME}/LICENSE")
  # No build-id links, the build host and time fixed, so that two builds of
  # one commit give the same .rpm; and no strip of its own, so that it ships
  # the very binary the tests ran.
  set(CPACK_RPM_SPEC_MORE_DEFINE "Packager: ${CLASSBANNER_MAINTAINER}
%define _build_id_links none
%define _buildhost reproducible
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define __strip /bin/true")

endif()
set(CPACK_CLASSBANNER_SOURCE_DATE_EPOCH "${CLASSBANNER_SOURCE_DATE_EPOCH}")
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/stamp-package-files.cmake)
include(CPack)
