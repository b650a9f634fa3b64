# The Win32 serial backend's tests (Windows build only, under Wine).
qs_add_test(comm_win32_test comm_win32_test.cpp)
