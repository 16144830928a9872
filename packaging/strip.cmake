# CPack runs this on the staging tree before it builds the package: strips
# the installed programs of symbols and of the sections Debian drops.
if(NOT CPACK_KEYBYTES_STRIP)
  return()
endif()
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/keybytes"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/keybytes-trace")
foreach(program ${programs})
  execute_process(
    COMMAND ${CPACK_KEYBYTES_STRIP} --remove-section=.comment --remove-section=.note ${program}
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "strip failed on ${program}")
  endif()
endforeach()
