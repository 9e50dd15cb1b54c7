# Runs tally-demo twice in one folder, as a person would on one day: the
# first run (--reset) makes every report; the second holds back everything
# that is throttled and still makes the successful remote connection.
#
# -DDEMO=<program> -DDIR=<demo folder> [-DEMULATOR=<runner;args>]

function(run_demo output)
  execute_process(
    COMMAND ${EMULATOR} "${DEMO}" ${ARGN} --dir "${DIR}"
    OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE status
    TIMEOUT 120)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "tally-demo ${ARGN} exited with ${status}\n${text}\n${errors}")
  endif()
  set(${output} "${text}" PARENT_SCOPE)
endfunction()

function(expect text pattern what)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: no match for \"${pattern}\" in\n${text}")
  endif()
endfunction()

run_demo(first --reset)
expect("${first}" "\\(emptied\\)" "first run")
expect("${first}" "\\[9/9\\] Wait for the analytics library to store the session" "first run")
expect("${first}" "== This session ==\n  5 events stored\n" "first run")
foreach(what "device information \\(desktop client\\)" "reconnection after a failed heartbeat"
             "failed remote connection" "sync-app usage" "successful remote connection")
  expect("${first}" "  ${what} +sent\n" "first run")
endforeach()
expect("${first}" "hb_report_time +[0-9-]+ [0-9:]+  \\(12-hour throttle until" "first run ledger")

run_demo(second)
expect("${second}" "Events after sequence [0-9]+\n" "second run")
expect("${second}" "reconnection after a failed heartbeat +not sent: at most one in 12 hours"
       "second run")
expect("${second}" "failed remote connection +not sent: at most one in 12 hours" "second run")
expect("${second}" "successful remote connection +sent\n" "second run")
# Unless the runs straddled midnight, the daily reports are held back too.
string(REGEX MATCH "device_report +([0-9-]+)" _ "${first}")
set(first_day "${CMAKE_MATCH_1}")
string(REGEX MATCH "device_report +([0-9-]+)" _ "${second}")
if(first_day STREQUAL CMAKE_MATCH_1)
  expect("${second}" "== This session ==\n  1 event stored\n" "second run")
  expect("${second}" "device information \\(desktop client\\) +not sent: made once a day"
         "second run")
  expect("${second}" "sync-app usage +not sent: made once a day" "second run")
endif()
