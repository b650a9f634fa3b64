# The Win32 serial backend's tests (Windows build only, under Wine, on a pty pair as COM5/COM6).
add_executable(comm_win32_test comm_win32_test.cpp)
target_include_directories(comm_win32_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(comm_win32_test PRIVATE qs_core qs_platform GTest::gmock GTest::gtest_main)
# The wrapper makes the ports, then starts the program through the cross emulator itself.
add_test(NAME comm_win32_test
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/comm_win32_ptys.sh ${CMAKE_CROSSCOMPILING_EMULATOR}
                 $<TARGET_FILE:comm_win32_test> --gtest_brief=1)
set_tests_properties(comm_win32_test PROPERTIES TIMEOUT 240)
