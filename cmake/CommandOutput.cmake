# Writes what a command prints on stdout to a file, at build time:
#   cmake -DOUTPUT=FILE -P CommandOutput.cmake -- COMMAND [ARG...]
# (the command after "--"). A command that fails, or prints nothing, fails the
# build and leaves no file behind.
set(command "")
set(seen_separator OFF)
foreach(i RANGE ${CMAKE_ARGC})
  if(seen_separator AND DEFINED CMAKE_ARGV${i})
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif("${CMAKE_ARGV${i}}" STREQUAL "--")
    set(seen_separator ON)
  endif()
endforeach()
if(NOT OUTPUT OR NOT command)
  message(FATAL_ERROR "usage: cmake -DOUTPUT=FILE -P CommandOutput.cmake -- COMMAND [ARG...]")
endif()
execute_process(COMMAND ${command}
  OUTPUT_FILE ${OUTPUT}.tmp
  RESULT_VARIABLE status)
file(SIZE ${OUTPUT}.tmp size)
if(NOT status EQUAL 0 OR size EQUAL 0)
  file(REMOVE ${OUTPUT}.tmp)
  list(JOIN command " " shown)
  message(FATAL_ERROR "${shown} failed (${status}) or printed nothing")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
