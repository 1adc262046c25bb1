# Makes the wine prefix of the build tree (once) and puts the test core
# libraries into its system directory, where the loader looks by default.
if(NOT EXISTS ${PREFIX}/drive_c/windows/system32)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} ${WINE_RUN} cmd /c exit
                  RESULT_VARIABLE rc)
endif()
if(NOT EXISTS ${PREFIX}/drive_c/windows/system32)
  message(FATAL_ERROR "wine did not make the prefix ${PREFIX}")
endif()
file(COPY_FILE ${CORE} ${PREFIX}/drive_c/windows/system32/libtarvex.dll)
file(COPY_FILE ${CORE_NOENTRY} ${PREFIX}/drive_c/windows/system32/libtarvex_noentry.dll)
