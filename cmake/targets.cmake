# SPDX-License-Identifier: MIT
# classbanner_target(COLUMN VALUE): read the first row of targets.txt whose
# COLUMN (name or processor) is VALUE into target_<column> for every column
# (target_name, target_debian, target_triple, ...); all are empty where no row
# matches, and target_names lists every row's name. Columns are read by the
# names in the comment line above the first row, as scripts/targets.sh reads
# them; the last column's value may hold spaces. Linux rows come first, so a
# processor finds its Linux target.

function(classbanner_target column value)
  file(STRINGS ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/targets.txt lines REGEX "[^ \t]")
  set(columns "")
  set(names "")
  set(found "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^#")
      set(header "${line}")
      continue()
    endif()
    if(NOT columns)
      string(REGEX REPLACE "^# *" "" header "${header}")
      string(REGEX REPLACE " +" ";" columns "${header}")
      foreach(name IN LISTS columns)
        set(target_${name} "" PARENT_SCOPE)
      endforeach()
      list(LENGTH columns spaced) # the columns before the last
      math(EXPR spaced "${spaced} - 1")
      list(FIND columns name name_at)
      list(FIND columns ${column} value_at)
    endif()
    set(fields "")
    foreach(i RANGE 1 ${spaced})
      string(REGEX MATCH "^([^ ]+) +(.*)$" matched "${line}")
      list(APPEND fields "${CMAKE_MATCH_1}")
      set(line "${CMAKE_MATCH_2}")
    endforeach()
    list(APPEND fields "${line}")
    list(GET fields ${name_at} name)
    list(APPEND names ${name})
    list(GET fields ${value_at} field)
    if(NOT found AND field STREQUAL "${value}")
      set(found yes)
      foreach(name field IN ZIP_LISTS columns fields)
        set(target_${name} "${field}" PARENT_SCOPE)
      endforeach()
    endif()
  endforeach()
  set(target_names "${names}" PARENT_SCOPE)
endfunction()
