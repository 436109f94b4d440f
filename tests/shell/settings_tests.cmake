# Settings store and settings dialogs; included from this folder's CMakeLists.txt.
lintaro_add_test(settings_tests GUI
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/test_settings_support.h
    ${CMAKE_CURRENT_LIST_DIR}/test_settings_store.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_settings_window.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_settings_dialogs.cpp)
