# Fails unless every symbol that LIBRARY defines for dynamic linking belongs
# to one of our own exported classes: the platform's symbols must come from
# the host, never from us.
execute_process(COMMAND nm -D --defined-only -C ${LIBRARY}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${symbols}")
set(count 0)
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  string(REGEX REPLACE "^[0-9a-f]+ [A-Za-z] " "" name "${line}")
  if(NOT name MATCHES "^((typeinfo|typeinfo name|vtable) for )?(BackupPipelineSetup|RestorePipelineSetup)(::|$)")
    message(FATAL_ERROR "${LIBRARY} defines a symbol that is not ours: ${name}")
  endif()
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${LIBRARY} exports nothing")
endif()
message(STATUS "${count} symbols, all of our own classes")

# The shared object names its ABI: libpipelinesetup.so.<major>, the name the
# runtime package (libpipelinesetup<major>) is called after.
if(DEFINED SONAME)
  execute_process(COMMAND objdump -p ${LIBRARY}
    OUTPUT_VARIABLE headers RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT headers MATCHES "SONAME +([^\n]+)")
    message(FATAL_ERROR "${LIBRARY} has no SONAME")
  endif()
  if(NOT CMAKE_MATCH_1 STREQUAL SONAME)
    message(FATAL_ERROR "${LIBRARY} has SONAME ${CMAKE_MATCH_1}, not ${SONAME}")
  endif()
  message(STATUS "SONAME ${SONAME}")
endif()
