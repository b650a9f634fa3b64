# The Windows build's icon, manifest and version resource, its stripped release copy, the
# release zip and the NSIS installer (targets windows-release, windows-zip, windows-installer).
find_package(Python3 REQUIRED COMPONENTS Interpreter)

if(PROJECT_VERSION_PATCH STREQUAL "")
  set(QS_VERSION_PATCH 0)
else()
  set(QS_VERSION_PATCH ${PROJECT_VERSION_PATCH})
endif()
set(QS_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${QS_VERSION_PATCH})
set(QS_VERSION_QUAD ${QS_VERSION}.0)

# What the resource script reads besides the sources: the version header, the manifest and
# the icon, all in one folder that windres searches.
set(QS_RESOURCE_DIR ${CMAKE_BINARY_DIR}/resources)
set(QS_WIN32_SOURCE_DIR ${PROJECT_SOURCE_DIR}/src/platform/win32)
configure_file(${QS_WIN32_SOURCE_DIR}/quillon_smart_version.h.in
               ${QS_RESOURCE_DIR}/quillon_smart_version.h @ONLY)
configure_file(${QS_WIN32_SOURCE_DIR}/quillon_smart.manifest.in
               ${QS_RESOURCE_DIR}/quillon_smart.manifest @ONLY)
add_custom_command(
  OUTPUT ${QS_RESOURCE_DIR}/quillon_smart.ico
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/windows/make_icon.py
          ${QS_RESOURCE_DIR}/quillon_smart.ico
  DEPENDS ${PROJECT_SOURCE_DIR}/scripts/windows/make_icon.py
  COMMENT "Drawing the program's icon")
add_custom_target(qs_windows_icon DEPENDS ${QS_RESOURCE_DIR}/quillon_smart.ico)
add_dependencies(quillon-smart qs_windows_icon)
target_include_directories(quillon-smart PRIVATE ${QS_RESOURCE_DIR})
set_property(SOURCE ${QS_WIN32_SOURCE_DIR}/quillon_smart.rc
             DIRECTORY ${PROJECT_SOURCE_DIR}/src APPEND PROPERTY OBJECT_DEPENDS
             ${QS_RESOURCE_DIR}/quillon_smart.ico ${QS_RESOURCE_DIR}/quillon_smart.manifest
             ${QS_RESOURCE_DIR}/quillon_smart_version.h)

# The release copy: the program without its debug information, which stays beside it in
# QuillonSmart.exe.debug (linked by name, so a debugger finds it).
find_program(QS_MINGW_OBJCOPY NAMES x86_64-w64-mingw32-objcopy REQUIRED)
find_program(QS_MINGW_STRIP NAMES x86_64-w64-mingw32-strip REQUIRED)
find_program(QS_MAKENSIS NAMES makensis)
set(QS_RELEASE_DIR ${CMAKE_BINARY_DIR}/release)
set(QS_RELEASE_EXE ${QS_RELEASE_DIR}/QuillonSmart.exe)
add_custom_command(
  OUTPUT ${QS_RELEASE_EXE} ${QS_RELEASE_EXE}.debug
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QS_RELEASE_DIR}
  COMMAND ${QS_MINGW_OBJCOPY} --only-keep-debug $<TARGET_FILE:quillon-smart> ${QS_RELEASE_EXE}.debug
  COMMAND ${QS_MINGW_STRIP} --strip-all -o ${QS_RELEASE_EXE} $<TARGET_FILE:quillon-smart>
  COMMAND ${QS_MINGW_OBJCOPY} --add-gnu-debuglink=QuillonSmart.exe.debug ${QS_RELEASE_EXE}
  WORKING_DIRECTORY ${QS_RELEASE_DIR}
  DEPENDS quillon-smart
  COMMENT "Stripping the release copy of QuillonSmart.exe")
add_custom_target(windows-release DEPENDS ${QS_RELEASE_EXE})

# The zip: the program, the README and a sample settings file, in one folder.
set(QS_PACKAGE_NAME QuillonSmart-${QS_VERSION}-win64)
set(QS_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
set(QS_STAGE_DIR ${QS_PACKAGE_DIR}/${QS_PACKAGE_NAME})
set(QS_ZIP ${QS_PACKAGE_DIR}/${QS_PACKAGE_NAME}.zip)
set(QS_SETUP ${QS_PACKAGE_DIR}/QuillonSmart-${QS_VERSION}-setup.exe)
add_custom_command(
  OUTPUT ${QS_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${QS_STAGE_DIR}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QS_STAGE_DIR}/sample
  COMMAND ${CMAKE_COMMAND} -E copy ${QS_RELEASE_EXE} ${PROJECT_SOURCE_DIR}/README.md ${QS_STAGE_DIR}
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/windows/make_sample_settings.py
          ${QS_STAGE_DIR}/sample/setuplite.dat
  COMMAND ${CMAKE_COMMAND} -E rm -f ${QS_ZIP}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${QS_ZIP} --format=zip ${QS_PACKAGE_NAME}
  WORKING_DIRECTORY ${QS_PACKAGE_DIR}
  DEPENDS ${QS_RELEASE_EXE} ${PROJECT_SOURCE_DIR}/README.md
          ${PROJECT_SOURCE_DIR}/scripts/windows/make_sample_settings.py
  COMMENT "Packing ${QS_PACKAGE_NAME}.zip")
add_custom_target(windows-zip DEPENDS ${QS_ZIP})

# The installer, from the same folder as the zip.
set(QS_NSIS_SCRIPT ${PROJECT_SOURCE_DIR}/scripts/windows/installer.nsi)
if(QS_MAKENSIS)
  add_custom_command(
    OUTPUT ${QS_SETUP}
    COMMAND ${QS_MAKENSIS} -V2 -DVERSION=${QS_VERSION} -DVERSION_QUAD=${QS_VERSION_QUAD}
            -DSTAGE_DIR=${QS_STAGE_DIR} -DICON_FILE=${QS_RESOURCE_DIR}/quillon_smart.ico
            -DOUT_FILE=${QS_SETUP} ${QS_NSIS_SCRIPT}
    DEPENDS ${QS_ZIP} ${QS_NSIS_SCRIPT} ${QS_RESOURCE_DIR}/quillon_smart.ico
    COMMENT "Building QuillonSmart-${QS_VERSION}-setup.exe")
  add_custom_target(windows-installer DEPENDS ${QS_ZIP} ${QS_SETUP})
else()
  add_custom_target(windows-installer
    COMMAND ${CMAKE_COMMAND} -E echo "makensis not found: run scripts/install-deps.sh"
    COMMAND ${CMAKE_COMMAND} -E false)
endif()
set(QS_WINDOWS_SETUP ${QS_SETUP})
