# The POSIX serial backend's tests (Linux build only): the shared suite on a pty pair, and
# what only this backend has.
qs_add_backend_test(comm_contract_test comm_contract_test.cpp comm_contract_io_test.cpp)
qs_add_backend_test(comm_posix_test comm_posix_test.cpp comm_posix_lock_test.cpp comm_posix_scripted_test.cpp)
qs_add_backend_test(comm_posix_syscall_test comm_posix_syscall_test.cpp)
# The writer on a modelled UART, whose output queue drains at the line rate.
qs_add_backend_test(comm_posix_uart_test comm_posix_uart_model_test.cpp)
target_link_libraries(comm_posix_uart_test PRIVATE qs_uart_model)
