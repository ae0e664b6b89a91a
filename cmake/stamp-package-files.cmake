# SPDX-License-Identifier: MIT
# Run by CPack after it installs into its staging folder, before it archives:
# stamp every file and folder with one time (SOURCE_DATE_EPOCH, else the last
# commit's time), so the same source always packs into the same bytes. With
# SOURCE_DATE_EPOCH set, CPack also leaves the time out of gzip headers.

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  set(epoch "${CPACK_CLASSBANNER_SOURCE_DATE_EPOCH}")
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(WARNING "no SOURCE_DATE_EPOCH and no commit time: packages carry build times")
  return()
endif()
set(ENV{SOURCE_DATE_EPOCH} "${epoch}")

execute_process(
  COMMAND find . -exec touch -h -d @${epoch} {} +
  WORKING_DIRECTORY "${CPACK_TEMPORARY_INSTALL_DIRECTORY}"
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "could not stamp the package files")
endif()
