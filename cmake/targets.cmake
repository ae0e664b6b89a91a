# SPDX-License-Identifier: MIT
# classbanner_target(COLUMN VALUE): read the first row of targets.txt whose
# COLUMN (name or processor) is VALUE into target_<column> for every column
# (target_name, target_system, target_debian, ...); all are empty where no row
# matches, and target_names lists every row's name. The table has one reader,
# scripts/targets.sh, which this asks. Linux rows come first, so a processor
# finds its Linux target.

function(classbanner_target column value)
  macro(read into)
    execute_process(COMMAND sh ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../scripts/targets.sh ${ARGN}
      OUTPUT_VARIABLE ${into} OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX REPLACE "[\t\n]" ";" ${into} "${${into}}")
  endmacro()
  read(columns --columns)
  read(names name)
  read(row "${column}=${value}" ${columns})
  foreach(name IN LISTS columns)
    set(field "")
    list(POP_FRONT row field) # the first matching row's fields, in order
    set(target_${name} "${field}" PARENT_SCOPE)
  endforeach()
  set(target_names "${names}" PARENT_SCOPE)
endfunction()
