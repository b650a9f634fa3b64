# The POSIX serial backend's tests (Linux build only).
qs_add_backend_test(comm_posix_test comm_posix_test.cpp)
