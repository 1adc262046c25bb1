# The module's code is compiled against the host's contract alone: no
# compile command of a source in module/, data/, proc/, realm/ or scheduler/
# may name a folder of the stand-in host other than host/include (the host's
# own operations beyond the contract are declared in host/driver, its
# implementation lives in host/src). A call of an operation outside the
# contract then does not compile.
#
# cmake -DCOMMANDS=<compile_commands.json> -DSOURCE_DIR=<project root> -P contract_includes.cmake
cmake_minimum_required(VERSION 3.25)

file(READ ${COMMANDS} Json)
string(JSON Count LENGTH "${Json}")
math(EXPR Last "${Count} - 1")
set(Checked 0)
set(Failed FALSE)
foreach(i RANGE ${Last})
  string(JSON File GET "${Json}" ${i} file)
  file(RELATIVE_PATH Rel ${SOURCE_DIR} ${File})
  if(NOT Rel MATCHES "^(module|data|proc|realm|scheduler)/")
    continue()
  endif()
  string(JSON Command ERROR_VARIABLE NoCommand GET "${Json}" ${i} command)
  if(NoCommand)
    string(JSON Command GET "${Json}" ${i} arguments)
  endif()
  math(EXPR Checked "${Checked} + 1")
  if(Command MATCHES "host/(driver|src|runner)")
    message(SEND_ERROR "${Rel} is compiled with a host folder beyond the contract on its include path")
    set(Failed TRUE)
  endif()
  if(NOT Command MATCHES "host/include")
    message(SEND_ERROR "${Rel} is compiled without host/include")
    set(Failed TRUE)
  endif()
endforeach()
if(Checked LESS 100)
  message(FATAL_ERROR "only ${Checked} module sources found in ${COMMANDS}")
endif()
if(Failed)
  message(FATAL_ERROR "contract include check failed")
endif()
