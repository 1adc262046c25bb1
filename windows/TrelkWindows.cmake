# Module-only configuration of the Windows DLL quel_trelk.dll, included by the
# top-level CMakeLists.txt when cross-building with mingw-w64. It builds the
# same subsystem sources as the Linux shared object, with the Win32 platform
# layer and the Windows-only classes of windows/, and the tests that run
# through wine.

# C99 printf family (%lld, %zu, a C99 snprintf result), as on Linux.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1 WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

add_library(tarvex_api INTERFACE)
target_include_directories(tarvex_api INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/host/include)

foreach(dir platform module data proc realm scheduler windows)
  add_subdirectory(${dir})
endforeach()

if(TRELK_BUILD_TESTS)
  add_subdirectory(tests/windows)
endif()
