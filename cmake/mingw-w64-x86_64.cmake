# Cross build of the Windows DLL with Debian's g++-mingw-w64-x86-64-posix
# (posix threads model: std::mutex and std::thread work). Tests run through
# wine; the prefix lives in the build tree so that no run touches ~/.wine.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TRELK_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TRELK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRELK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TRELK_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${TRELK_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TRELK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs every test program through wine, in a prefix of the build tree;
# the add-on prompts for .NET and HTML support are switched off.
set(TRELK_WINE_LOADER /usr/lib/wine/wine64 CACHE FILEPATH "wine loader for the tests")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
