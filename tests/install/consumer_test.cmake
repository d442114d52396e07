# Installs the build tree into a fresh prefix, then configures, builds and runs the consumer
# project against that prefix only.
# Variables: BUILD_DIR, CONSUMER_DIR, WORK_DIR, GENERATOR, CXX, CXX_FLAGS, BUILD_TYPE, LAUNCHER.
function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run_step("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(installed
    include/brindlecap/functions/filtrations_evaluation.hpp
    include/brindlecap/functions/filtrations_evaluation/core/records.hpp
    include/brindlecap/version.hpp
    lib/libbrindlecap_filtrations.a
    bin/filtrations)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
# Only public headers are installed: none is internal, none declares the library's internals, and
# the public header includes every other one.
set(umbrella brindlecap/functions/filtrations_evaluation.hpp)
file(READ ${prefix}/include/${umbrella} umbrella_text)
file(GLOB_RECURSE installed_headers RELATIVE ${prefix}/include ${prefix}/include/*.hpp)
foreach(header IN LISTS installed_headers)
  file(READ ${prefix}/include/${header} text)
  if(header MATCHES "_internal\\.hpp$" OR text MATCHES "namespace detail" OR text MATCHES "__int128"
     OR text MATCHES "_internal\\.hpp")
    message(FATAL_ERROR "installed header exposes internals: ${header}")
  endif()
  string(FIND "${umbrella_text}" "#include \"${header}\"" at)
  if(at EQUAL -1 AND NOT header STREQUAL umbrella)
    message(FATAL_ERROR "the public header does not include ${header}")
  endif()
endforeach()
file(GLOB_RECURSE config_files ${prefix}/*/brindlecap_filtrationsConfig.cmake)
if(NOT config_files)
  message(FATAL_ERROR "no brindlecap_filtrationsConfig.cmake under ${prefix}")
endif()

set(launcher_arg)
if(LAUNCHER)
  set(launcher_arg -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
endif()
run_step("configuring the consumer"
  ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_CXX_FLAGS=${CXX_FLAGS}
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE} ${launcher_arg})
run_step("building the consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run_step("running the consumer" ${WORK_DIR}/build/consumer)

set(expected "passing: s105 s107 s108 s110 s111\ntop_n accepted: yes\n")
if(NOT step_output STREQUAL expected)
  message(FATAL_ERROR "consumer printed:\n${step_output}\nexpected:\n${expected}")
endif()
message(STATUS "consumer output:\n${step_output}")
