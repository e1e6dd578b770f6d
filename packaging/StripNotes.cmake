# Run by CPack after the install step: removes the .comment and .note
# sections from the programs, as Debian's packaging tools do.
find_program(CORVEL_STRIP NAMES strip REQUIRED)
if(NOT CPACK_TEMPORARY_INSTALL_DIRECTORY)
  message(FATAL_ERROR "StripNotes.cmake runs from CPack only")
endif()
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
foreach(program ${programs})
  execute_process(COMMAND ${CORVEL_STRIP} --remove-section=.comment --remove-section=.note ${program}
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "strip failed on ${program}")
  endif()
endforeach()
