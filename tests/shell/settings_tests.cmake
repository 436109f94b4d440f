# Settings store and settings dialogs; included from this folder's CMakeLists.txt.
# The store's tests look at Linux's settings file; on Windows the registry accessor has
# its own tests (tests/platform), so only the dialogs' tests are built there.
set(settings_test_sources ${CMAKE_CURRENT_LIST_DIR}/test_settings_dialogs.cpp)
if(NOT WIN32)
  list(APPEND settings_test_sources
    ${CMAKE_CURRENT_LIST_DIR}/test_settings_support.h
    ${CMAKE_CURRENT_LIST_DIR}/test_settings_store.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_settings_window.cpp)
endif()
lintaro_add_test(settings_tests GUI SOURCES ${settings_test_sources})
