# Tests of the configuration program launcher (included from this folder's CMakeLists.txt).
lintaro_add_test(model_key_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_model_key.cpp LIBS lintaro)
lintaro_add_test(setup_ini_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_setup_ini.cpp LIBS lintaro)

if(NOT WIN32)
  # A stand-in configuration program: reports how it was started, then waits to be killed.
  add_executable(lintaro-launcher-probe ${CMAKE_CURRENT_LIST_DIR}/launcher_probe.cpp)

  lintaro_add_test(launcher_tests GUI SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/test_launcher.cpp ${CMAKE_CURRENT_LIST_DIR}/launcher_test_support.h)
  target_compile_definitions(launcher_tests PRIVATE
    LINTARO_PROBE="$<TARGET_FILE:lintaro-launcher-probe>"
    LINTARO_SETUP_SAMPLE="$<TARGET_FILE:lintaro-setup-sample>")
  add_dependencies(launcher_tests lintaro-launcher-probe lintaro-setup-sample)

  # The main window looks beside its own executable, so this test program gets a folder
  # of its own to put "setup.ini" into.
  lintaro_add_test(launcher_form_tests GUI LOCK launcher_form SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/test_launcher_form.cpp ${CMAKE_CURRENT_LIST_DIR}/launcher_test_support.h)
  set_target_properties(launcher_form_tests PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/launcher_form)
  target_compile_definitions(launcher_form_tests PRIVATE
    LINTARO_PROBE="$<TARGET_FILE:lintaro-launcher-probe>")
  add_dependencies(launcher_form_tests lintaro-launcher-probe)
endif()
