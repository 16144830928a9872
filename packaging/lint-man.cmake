# Formats the manual page with every groff warning on; any message fails.
# Usage: cmake -DGROFF=groff -DPAGE=keybytes.1 -P lint-man.cmake
execute_process(
  COMMAND ${GROFF} -t -man -ww -z ${PAGE}
  RESULT_VARIABLE rc
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
  message(FATAL_ERROR "groff on ${PAGE} (exit ${rc}):\n${out}${err}")
endif()
