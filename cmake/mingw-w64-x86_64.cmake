# Cross toolchain: MinGW-w64 (posix thread model) for the Windows build; tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QS_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QS_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QS_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QS_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QS_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into the .exe, so it runs without MinGW's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs are started through Wine in the project's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
