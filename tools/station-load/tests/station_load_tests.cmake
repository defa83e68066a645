# Tests of station-load's quiet parts, in the one test runner: the /proc readings, the event
# numbering through the relay's conversion, and the soak test's ledger.
lan2com_core_tests(${CMAKE_CURRENT_LIST_DIR}/station_load_test.cpp)
target_link_libraries(lan2com_tests PRIVATE station_load_core)
