# SPDX-License-Identifier: MIT
# Print every row of the targets table as CMake reads it, one line a row, the
# COLUMNS (a ;-list) apart by tabs:
#
#   cmake -D TABLE_DIR=DIR -D COLUMNS=... -P targets-print.cmake
#
# DIR holds targets.cmake and its targets.txt.
include(${TABLE_DIR}/targets.cmake)
classbanner_target(name "")
foreach(row IN LISTS target_names)
  classbanner_target(name ${row})
  set(line "")
  foreach(column IN LISTS COLUMNS)
    list(APPEND line "${target_${column}}")
  endforeach()
  list(JOIN line "\t" line)
  message("${line}")
endforeach()
