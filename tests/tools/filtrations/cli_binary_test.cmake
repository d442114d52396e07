# Runs the built `filtrations` binary as a user would: exit codes, where output goes, no colour
# when stdout is a pipe. Variables: CLI, POOL (a signals file), WORK_DIR.
function(expect_run expected_rc)
  execute_process(COMMAND ${CLI} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL expected_rc)
    message(FATAL_ERROR "filtrations ${ARGN}: exit ${rc}, expected ${expected_rc}\n${out}\n${err}")
  endif()
  string(ASCII 27 esc)
  string(FIND "${out}" "${esc}" has_escape)
  if(NOT has_escape EQUAL -1)
    message(FATAL_ERROR "filtrations ${ARGN}: colour codes on a pipe")
  endif()
  set(run_out "${out}" PARENT_SCOPE)
  set(run_err "${err}" PARENT_SCOPE)
endfunction()

function(expect_match text pattern)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "expected /${pattern}/ in:\n${text}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
file(WRITE ${WORK_DIR}/broken.json "{\"s1\": {\"is_sharpe\": 1.0")

expect_run(0 resolve --pool ${POOL} --tree "top_n(field=is_sharpe, n=3)")
expect_match("${run_out}" "^3 of 24 signals pass top_n")

expect_run(1 resolve --pool ${POOL} --tree "gt(field=is_sharpe, value=99.0)")
expect_match("${run_err}" "0 signals pass the complete filter tree")
expect_match("${run_out}" "emptied the pool")

expect_run(2 resolve --pool ${WORK_DIR}/broken.json --tree "top_n(field=is_sharpe, n=3)")
expect_match("${run_err}" "malformed JSON in signals file '.*broken.json'")
if(NOT run_out STREQUAL "")
  message(FATAL_ERROR "output written despite the error:\n${run_out}")
endif()

expect_run(2 resolve --pool ${POOL} --tree "top_n(field=is_sharpe n=3)")
expect_match("${run_err}" "at column 23")

# Standard input for "-"; a FIFO is refused before it is opened (opening it would block).
execute_process(COMMAND ${CLI} resolve --pool - --tree "top_n(field=is_sharpe, n=3)"
                INPUT_FILE ${POOL} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "^3 of 24 signals pass top_n")
  message(FATAL_ERROR "--pool - with the pool on standard input: exit ${rc}\n${out}\n${err}")
endif()
execute_process(COMMAND mkfifo ${WORK_DIR}/fifo RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "mkfifo failed")
endif()
execute_process(COMMAND ${CLI} resolve --pool ${WORK_DIR}/fifo --tree "top_n(field=is_sharpe, n=3)"
                TIMEOUT 60 RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 2)
  message(FATAL_ERROR "--pool FIFO: exit ${rc}, expected 2\n${out}\n${err}")
endif()
expect_match("${err}" "'.*fifo': a FIFO, not a regular file")

expect_run(2 evaluate --no-such-option)
expect_run(0 --version)

# No command: evaluate on the embedded demo set, every built-in accepted.
expect_run(0)
expect_match("${run_out}" "^16 operators, 24 signals from the embedded demo signal set \\(mock mode\\), seed 0")
expect_match("${run_out}" "\n16 of 16 operators accepted.\n")
