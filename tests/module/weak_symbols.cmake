# The module's unresolved weak references must be exactly the functions of
# module/trelk_weak.h, with the signatures declared there. A subsystem that
# defines one of them with a signature that differs in the smallest part would
# otherwise leave the reference NULL without a word: the name is then found
# among the module's definitions and reported.
#
# cmake -DNM=<nm> -DMODULE=<quel_trelk.so> -P weak_symbols.cmake
cmake_minimum_required(VERSION 3.25)

# Mangled, so that every parameter type is part of the comparison. Take a name
# off when its subsystem defines it.
set(EXPECTED_WEAK
)

function(symbols OUT)
  execute_process(COMMAND ${NM} -D ${ARGN} ${MODULE} OUTPUT_VARIABLE Text RESULT_VARIABLE Status)
  if(NOT Status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${MODULE}")
  endif()
  string(REPLACE "\n" ";" Lines "${Text}")
  set(${OUT} "${Lines}" PARENT_SCOPE)
endfunction()

# Weak references of the module's own functions; the compiler's and the C
# library's (TLS init, transactional memory, profiling) are not ours.
symbols(Undefined --undefined-only)
set(ACTUAL_WEAK)
foreach(Line IN LISTS Undefined)
  if(Line MATCHES "^ *w (_Z[0-9]+(QZ|Trelk|Tarvex)[^ ]*)$")
    list(APPEND ACTUAL_WEAK ${CMAKE_MATCH_1})
  endif()
endforeach()

set(Failed FALSE)
foreach(Symbol IN LISTS ACTUAL_WEAK)
  if(NOT Symbol IN_LIST EXPECTED_WEAK)
    message(SEND_ERROR "unexpected weak reference ${Symbol}: declare it in module/trelk_weak.h and list it here")
    set(Failed TRUE)
  endif()
endforeach()

symbols(Defined --defined-only)
foreach(Symbol IN LISTS EXPECTED_WEAK)
  if(Symbol IN_LIST ACTUAL_WEAK)
    continue()
  endif()
  # Resolved: fine when a definition has exactly this signature.
  set(Found FALSE)
  foreach(Line IN LISTS Defined)
    if(Line MATCHES " [TW] ${Symbol}$")
      set(Found TRUE)
    endif()
  endforeach()
  if(Found)
    message(SEND_ERROR "${Symbol} is defined now: take it off this list and out of module/trelk_weak.h")
  else()
    message(SEND_ERROR "weak reference ${Symbol} is missing from the module")
  endif()
  set(Failed TRUE)
endforeach()

# A definition under the same name but another signature leaves the weak
# reference NULL: name both.
foreach(Symbol IN LISTS ACTUAL_WEAK)
  string(REGEX REPLACE "^_Z([0-9]+)(.*)$" "\\1" Length "${Symbol}")
  string(REGEX REPLACE "^_Z[0-9]+" "" Rest "${Symbol}")
  string(SUBSTRING "${Rest}" 0 ${Length} Name)
  foreach(Line IN LISTS Defined)
    if(Line MATCHES " [TW] (_Z${Length}${Name}[^ ]*)$" AND NOT CMAKE_MATCH_1 STREQUAL Symbol)
      message(SEND_ERROR "${Name} is defined as ${CMAKE_MATCH_1} but referenced as ${Symbol}: "
                         "the reference stays NULL until the signatures agree")
      set(Failed TRUE)
    endif()
  endforeach()
endforeach()

if(Failed)
  message(FATAL_ERROR "the module's weak references differ from module/trelk_weak.h")
endif()
list(LENGTH ACTUAL_WEAK Count)
message(STATUS "${Count} weak references, as declared")
