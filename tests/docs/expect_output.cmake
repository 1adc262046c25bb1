# Runs a command and checks its exit status, that its stderr matches every
# pattern of PATTERNS (a list split at "|"; a ";" must not stand inside square
# brackets), its stdout matches STDOUT, and neither matches REFUSE.
#   cmake -DCMD=a|b|c -DSTATUS=n -DPATTERNS=re1|re2 [-DSTDOUT=re] [-DREFUSE=re] [-DPATH_ONLY=dir]
#         -P expect_output.cmake
string(REPLACE "|" ";" cmd "${CMD}")
string(REPLACE "|" ";" patterns "${PATTERNS}")
if(DEFINED PATH_ONLY)
  set(ENV{PATH} "${PATH_ONLY}")
endif()
execute_process(COMMAND ${cmd} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message(STATUS "exit status ${rc}\nstdout:\n${out}\nstderr:\n${err}")
if(NOT "${rc}" STREQUAL "${STATUS}")
  message(FATAL_ERROR "expected exit status ${STATUS}, got ${rc}")
endif()
foreach(p IN LISTS patterns)
  if(NOT "${err}" MATCHES "${p}")
    message(FATAL_ERROR "stderr does not match '${p}'")
  endif()
endforeach()
if(DEFINED STDOUT AND NOT "${out}" MATCHES "${STDOUT}")
  message(FATAL_ERROR "stdout does not match '${STDOUT}'")
endif()
if(DEFINED REFUSE AND "${out}${err}" MATCHES "${REFUSE}")
  message(FATAL_ERROR "output matches '${REFUSE}'")
endif()
