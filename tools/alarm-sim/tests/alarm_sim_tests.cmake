# Tests of alarm-sim, in the one test runner: its encoding against the relay's conversion, its
# command line, and a loopback run of each side.
lan2com_core_tests(${CMAKE_CURRENT_LIST_DIR}/sim_codec_test.cpp
                   ${CMAKE_CURRENT_LIST_DIR}/sim_args_test.cpp
                   ${CMAKE_CURRENT_LIST_DIR}/sim_send_test.cpp)
target_link_libraries(lan2com_tests PRIVATE alarm_sim_core lan2com_relay)
if(NOT WIN32)
    lan2com_core_tests(${CMAKE_CURRENT_LIST_DIR}/sim_monitor_test.cpp
                       ${PROJECT_SOURCE_DIR}/tests/support/pty_peer.cpp)
    target_link_libraries(lan2com_tests PRIVATE util)
endif()
