# The Win32 serial backend's tests (Windows build only, under Wine, on a pty pair as COM5/COM6):
# the shared suite, and what only this backend has.
function(qs_add_comm_win32_test name)
  add_executable(${name} ${ARGN})
  target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE qs_core qs_platform GTest::gmock GTest::gtest_main)
  # The wrapper makes the ports, then starts the program through the cross emulator itself.
  add_test(NAME ${name}
           COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/comm_win32_ptys.sh ${CMAKE_CROSSCOMPILING_EMULATOR}
                   $<TARGET_FILE:${name}> --gtest_brief=1)
  # Both programs use the same two ports.
  set_tests_properties(${name} PROPERTIES TIMEOUT 240 RESOURCE_LOCK qs_com5_com6)
endfunction()

qs_add_comm_win32_test(comm_contract_test comm_contract_test.cpp comm_contract_io_test.cpp)
qs_add_comm_win32_test(comm_win32_test comm_win32_test.cpp)
