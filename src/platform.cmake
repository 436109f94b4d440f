# The Qt-free platform layer of the shell and the launcher: the file version reader, the
# single-instance sign, the configuration program's process, and on Windows the registry
# accessor. It builds without Qt, so its Windows side is cross-built and tested under Wine.
# Included from the top CMakeLists.txt; the Qt program links it through `lintaro`.
set(_dir ${CMAKE_CURRENT_LIST_DIR})
add_library(lintaro_platform STATIC
  ${_dir}/shell/FileVersionCore.h
  ${_dir}/shell/InstanceSign.h
  ${_dir}/bridge/SetupProcess.h
  ${_dir}/bridge/RegularFile.h)
target_include_directories(lintaro_platform PUBLIC ${_dir})
if(WIN32)
  target_sources(lintaro_platform PRIVATE
    ${_dir}/shell/FileVersion_win.cpp
    ${_dir}/shell/InstanceSign_win.cpp
    ${_dir}/shell/RegistryKey.h ${_dir}/shell/RegistryKey_win.cpp
    ${_dir}/bridge/SetupProcess_win.cpp
    ${_dir}/bridge/RegularFile_win.cpp)
  target_compile_definitions(lintaro_platform PUBLIC UNICODE _UNICODE)
  # The serial layer brings the Windows text conversions (WinText.h).
  target_link_libraries(lintaro_platform PUBLIC lintaro_serial version user32 advapi32)
else()
  target_sources(lintaro_platform PRIVATE
    ${_dir}/shell/FileVersion_posix.cpp
    ${_dir}/shell/InstanceSign_posix.cpp
    ${_dir}/bridge/SetupProcess_posix.cpp
    ${_dir}/bridge/RunRecord_posix.h ${_dir}/bridge/RunRecord_posix.cpp
    ${_dir}/bridge/PrivateFolder.h ${_dir}/bridge/PrivateFolder_posix.cpp
    ${_dir}/bridge/RegularFile_posix.cpp)
  target_compile_definitions(lintaro_platform PRIVATE
    LINTARO_FILE_VERSION="${PROJECT_VERSION}")
  target_link_libraries(lintaro_platform PUBLIC Threads::Threads)
endif()

# The version resource of Windows executables: Lintaro.exe, and the test program that
# reads its own block back.
set(LINTARO_ICON ${_dir}/resources/lintaro.ico)
configure_file(${_dir}/Lintaro.rc.in ${CMAKE_BINARY_DIR}/generated/Lintaro.rc @ONLY)
set(LINTARO_VERSION_RC ${CMAKE_BINARY_DIR}/generated/Lintaro.rc)
unset(_dir)
