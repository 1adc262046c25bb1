# A test that no object of the module's subsystems refers to the runtime's
# allocation functions (read with the toolchain's nm; the platform layer's
# objects are the probe that the scanner sees anything at all).
function(trelk_add_alloc_imports_test name)
  set(objects)
  foreach(lib trelk_module trelk_data trelk_proc trelk_realm trelk_scheduler)
    list(APPEND objects $<TARGET_OBJECTS:${lib}>)
  endforeach()
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} "-DOBJECTS=$<JOIN:${objects},|>"
                   "-DPROBE=$<JOIN:$<TARGET_OBJECTS:trelk_platform>,|>"
                   -P ${PROJECT_SOURCE_DIR}/tests/module/alloc_imports.cmake)
endfunction()
