# SPDX-License-Identifier: MIT
# classbanner_target(COLUMN VALUE): read the first row of targets.txt whose
# COLUMN (name or processor) is VALUE into target_name, target_debian,
# target_triple, target_libc, target_processor, target_rpm, target_runner,
# target_format and target_machine; all are empty where no row matches. Linux rows come first,
# so a processor finds its Linux target.

function(classbanner_target column value)
  set(columns name debian triple libc processor rpm runner format machine)
  list(FIND columns ${column} index)
  math(EXPR index "${index} + 1")
  foreach(column IN LISTS columns)
    set(target_${column} "" PARENT_SCOPE)
  endforeach()
  file(STRINGS ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/targets.txt rows REGEX "^[a-z]")
  foreach(row IN LISTS rows)
    string(REGEX MATCH "^([^ ]+) +([^ ]+) +([^ ]+) +([^ ]+) +([^ ]+) +([^ ]+) +([^ ]+) +([^ ]+) +(.+)$" row "${row}")
    if(row AND "${CMAKE_MATCH_${index}}" STREQUAL "${value}")
      set(i 1)
      foreach(column IN LISTS columns)
        set(target_${column} "${CMAKE_MATCH_${i}}" PARENT_SCOPE)
        math(EXPR i "${i} + 1")
      endforeach()
      return()
    endif()
  endforeach()
endfunction()
