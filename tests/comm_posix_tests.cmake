# The POSIX serial backend's tests (Linux build only): the shared suite on a pty pair, and
# what only this backend has.
qs_add_backend_test(comm_contract_test comm_contract_test.cpp comm_contract_io_test.cpp)
qs_add_backend_test(comm_posix_test comm_posix_test.cpp comm_posix_lock_test.cpp comm_posix_scripted_test.cpp)
qs_add_backend_test(comm_posix_syscall_test comm_posix_syscall_test.cpp)
