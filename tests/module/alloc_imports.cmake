# The module keeps no heap of its own: no object of its subsystems (module,
# data, proc, realm, scheduler) may refer to the C or C++ runtime's
# allocation functions. Read from the objects' symbol tables, so that it holds
# whatever the code looks like: a standard container on the default
# allocator, a std::string, a hidden buffer of an algorithm all show up as
# operator new / delete. The platform layer is not checked (its find handles
# come from the C library); its objects are read as a probe that the symbols
# are seen at all.
#
# cmake -DNM=<nm> -DOBJECTS=<a|b|...> [-DPROBE=<a|b|...>] -P alloc_imports.cmake
cmake_minimum_required(VERSION 3.25)

# Plain C names, and those a Windows object names through an import table.
set(Forbidden "^(__imp_)?(malloc|calloc|realloc|reallocarray|free|strdup|_strdup|strndup|wcsdup|_wcsdup|posix_memalign|aligned_alloc|memalign|valloc|pvalloc|_aligned_malloc|_aligned_free|_Zn[wa][jmy].*|_Zd[la]Pv.*)$")

# Forbidden references per object: "<object>: <name>" items, one nm run for
# all objects.
function(imports_of Objects Out)
  execute_process(COMMAND ${NM} -u -A ${Objects} OUTPUT_VARIABLE Text RESULT_VARIABLE Status)
  if(NOT Status EQUAL 0)
    message(FATAL_ERROR "${NM} failed")
  endif()
  string(REPLACE "\n" ";" Lines "${Text}")
  set(Found)
  foreach(Line IN LISTS Lines)
    if(Line MATCHES "^(.*): +U +([^ ]+)$")
      set(File ${CMAKE_MATCH_1})
      string(REGEX REPLACE "@.*$" "" Name "${CMAKE_MATCH_2}")
      if(Name MATCHES "${Forbidden}")
        get_filename_component(File ${File} NAME)
        list(APPEND Found "${File}: ${Name}")
      endif()
    endif()
  endforeach()
  list(REMOVE_DUPLICATES Found)
  set(${Out} "${Found}" PARENT_SCOPE)
endfunction()

string(REPLACE "|" ";" Objects "${OBJECTS}")
list(LENGTH Objects Count)
if(Count LESS 50)
  message(FATAL_ERROR "only ${Count} module objects given")
endif()
set(Failed FALSE)
imports_of("${Objects}" Found)
foreach(Item IN LISTS Found)
  message(SEND_ERROR "refers to the runtime's allocation: ${Item}")
  set(Failed TRUE)
endforeach()

if(PROBE)
  string(REPLACE "|" ";" Probes "${PROBE}")
  imports_of("${Probes}" Found)
  if(NOT Found)
    message(SEND_ERROR "the probe (the platform layer's find handles) shows no allocation import: the check reads nothing")
    set(Failed TRUE)
  endif()
endif()
if(Failed)
  message(FATAL_ERROR "allocation import check failed")
endif()
