# The shared object's entry points and exported worker-thread functions are
# plain C names, defined in its code section (the Windows stage checks the
# DLL the same way, tests/windows/check_exports.cmake); none of them is
# exported under a C++ name as well.
#
# cmake -DNM=<nm> -DMODULE=<quel_trelk.so> -P exports.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${NM} -D --defined-only ${MODULE} OUTPUT_VARIABLE Text RESULT_VARIABLE Status)
if(NOT Status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${MODULE}")
endif()
string(REPLACE "\n" ";" Lines "${Text}")
set(Code)
set(All)
foreach(Line IN LISTS Lines)
  if(Line MATCHES "^[0-9a-fA-F]* ([A-Za-z]) ([^ ]+)$")
    list(APPEND All ${CMAKE_MATCH_2})
    if(CMAKE_MATCH_1 STREQUAL "T")
      list(APPEND Code ${CMAKE_MATCH_2})
    endif()
  endif()
endforeach()

set(Failed FALSE)
foreach(Name quel_trelk_Init2 quel_trelk_Term2 QZRealmBase_BreakOnProc_Thread
             Tarvex_ScheduleProc_QZProcRunner_EachProc_Thread QZRealmBase_RunProc_Thread)
  if(NOT Name IN_LIST Code)
    message(SEND_ERROR "not exported as a C function: ${Name}")
    set(Failed TRUE)
  endif()
  foreach(Symbol IN LISTS All)
    if(Symbol MATCHES "^_Z.*${Name}")
      message(SEND_ERROR "exported under a C++ name: ${Symbol}")
      set(Failed TRUE)
    endif()
  endforeach()
endforeach()
if(Failed)
  message(FATAL_ERROR "export check failed")
endif()
