# Tests of station-load's quiet parts, in the one test runner: the /proc readings, the event
# numbering, the soak test's ledger, the child processes, the monitors and transceivers, and the
# floor relay (run from the build folder, hence the dependency).
lan2com_core_tests(${CMAKE_CURRENT_LIST_DIR}/station_load_test.cpp
                   ${CMAKE_CURRENT_LIST_DIR}/station_load_process_test.cpp
                   ${PROJECT_SOURCE_DIR}/tests/support/pty_peer.cpp)
target_link_libraries(lan2com_tests PRIVATE station_load_core util)
add_dependencies(lan2com_tests station-load)
