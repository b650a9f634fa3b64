# The POSIX serial backend's tests (Linux build only).
qs_add_test(comm_posix_test comm_posix_test.cpp)
qs_add_test(comm_posix_syscall_test comm_posix_syscall_test.cpp)
