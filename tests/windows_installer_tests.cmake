# The release zip and the installer, built as the first step; the release's files checked, and the
# installer run, the program started and uninstalled silently in the project's Wine prefix.
add_test(NAME windows_installer_build
         COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target windows-installer)
set_tests_properties(windows_installer_build PROPERTIES TIMEOUT 240
                     FIXTURES_SETUP qs_windows_installer)
add_test(NAME e2e_windows_installer
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/installer_test.py
                 --setup ${QS_WINDOWS_SETUP} --exe ${QS_RELEASE_EXE}
                 --sample ${QS_STAGE_DIR}/sample/setuplite.dat
                 --wine ${CMAKE_CROSSCOMPILING_EMULATOR})
set_tests_properties(e2e_windows_installer PROPERTIES TIMEOUT 180
                     FIXTURES_REQUIRED qs_windows_installer)
add_test(NAME windows_release_files
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/release_files_test.py
                 --exe ${QS_RELEASE_EXE} --zip ${QS_ZIP} --version ${QS_VERSION})
set_tests_properties(windows_release_files PROPERTIES TIMEOUT 60
                     FIXTURES_REQUIRED qs_windows_installer)
