# Tests that bind the add-in's fixed port 1001. Where the system lets us, each
# runs in a private user and network namespace (run_in_netns.sh): the port is
# unprivileged there and every test has a loopback of its own, so they may run
# in parallel. Elsewhere they run as they are, one at a time under the lock
# "port1001" (and need the right to bind a port below 1024).
include_guard(GLOBAL)

execute_process(COMMAND unshare -rn sh -c "ip link set lo up"
                RESULT_VARIABLE axg_netns_rc OUTPUT_QUIET ERROR_QUIET)
# Cached, because the guard above makes every later include a no-op and a plain
# variable would be seen only in the directory that included this file first.
if(axg_netns_rc EQUAL 0)
  set(AXG_NETNS_WORKS ON CACHE INTERNAL "private network namespaces work here")
else()
  set(AXG_NETNS_WORKS OFF CACHE INTERNAL "private network namespaces work here")
  message(STATUS "No private network namespaces here: port 1001 tests run under a lock")
endif()

# axg_add_port1001_test(NAME name LABEL label [TIMEOUT s] COMMAND cmd args...)
function(axg_add_port1001_test)
  cmake_parse_arguments(T "" "NAME;LABEL;TIMEOUT" "COMMAND" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  if(AXG_NETNS_WORKS)
    add_test(NAME ${T_NAME} COMMAND ${PROJECT_SOURCE_DIR}/tests/e2e/run_in_netns.sh ${T_COMMAND})
    set_tests_properties(${T_NAME} PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT})
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
    set_tests_properties(${T_NAME} PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT}
                         RESOURCE_LOCK port1001)
  endif()
endfunction()
