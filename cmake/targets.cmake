# SPDX-License-Identifier: MIT
# classbanner_target(COLUMN VALUE): read the first row of targets.txt whose
# COLUMN (name or processor) is VALUE into target_name, target_debian,
# target_triple, target_libc, target_processor, target_rpm, target_image,
# target_runner, target_format and target_machine; all are empty where no row matches. Linux rows come first,
# so a processor finds its Linux target.

function(classbanner_target column value)
  set(columns name debian triple libc processor rpm image runner format machine)
  list(FIND columns ${column} index)
  foreach(column IN LISTS columns)
    set(target_${column} "" PARENT_SCOPE)
  endforeach()
  file(STRINGS ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/targets.txt rows REGEX "^[a-z]")
  foreach(row IN LISTS rows)
    # One field a column; the last, the machine, may hold spaces.
    set(fields "")
    foreach(column IN LISTS columns)
      if(column STREQUAL "machine")
        list(APPEND fields "${row}")
      else()
        string(REGEX MATCH "^([^ ]+) +(.*)$" matched "${row}")
        list(APPEND fields "${CMAKE_MATCH_1}")
        set(row "${CMAKE_MATCH_2}")
      endif()
    endforeach()
    list(GET fields ${index} field)
    if(field STREQUAL "${value}")
      foreach(column field IN ZIP_LISTS columns fields)
        set(target_${column} "${field}" PARENT_SCOPE)
      endforeach()
      return()
    endif()
  endforeach()
endfunction()
