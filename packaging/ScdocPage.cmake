# Turns one scdoc man page source into roff, with @VERSION@ filled in, and
# writes it also compressed (OUT.gz, no name or time inside) for installing.
# cmake -DIN=page.1.scd -DOUT=page.1 -DSCDOC=/usr/bin/scdoc -DVERSION=x.y.z -P ScdocPage.cmake
# Without the policies of a current CMake a script expands @VERSION@ inside
# the quoted search text as well, and the replacement never matches.
cmake_minimum_required(VERSION 3.25)
file(READ ${IN} text)
string(REPLACE "@VERSION@" "${VERSION}" text "${text}")
file(WRITE ${OUT}.scd "${text}")
execute_process(COMMAND ${SCDOC} INPUT_FILE ${OUT}.scd OUTPUT_FILE ${OUT}.tmp
                ERROR_VARIABLE error RESULT_VARIABLE result)
file(REMOVE ${OUT}.scd)
if(NOT result EQUAL 0)
  file(REMOVE ${OUT}.tmp)
  message(FATAL_ERROR "scdoc failed on ${IN}: ${error}")
endif()
file(RENAME ${OUT}.tmp ${OUT})
execute_process(COMMAND gzip -9nc ${OUT} OUTPUT_FILE ${OUT}.gz RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${OUT}")
endif()
