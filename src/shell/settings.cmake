# Settings store, settings dialogs and the windows' font; included from this folder's
# CMakeLists.txt. The registry store (SettingsStore_win.cpp) is the Windows side.
target_sources(lintaro_shell PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/Fonts.h ${CMAKE_CURRENT_LIST_DIR}/Fonts.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SettingsStore.h
  ${CMAKE_CURRENT_LIST_DIR}/SettingsStoreUnit.cpp
  ${CMAKE_CURRENT_LIST_DIR}/COMSettingsUnit.h ${CMAKE_CURRENT_LIST_DIR}/COMSettingsUnit.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TPCServerSettingsUnit.h
  ${CMAKE_CURRENT_LIST_DIR}/TPCServerSettingsUnit.cpp)
if(WIN32)
  target_sources(lintaro_shell PRIVATE ${CMAKE_CURRENT_LIST_DIR}/SettingsStore_win.cpp)
else()
  target_sources(lintaro_shell PRIVATE ${CMAKE_CURRENT_LIST_DIR}/SettingsStore_qt.cpp)
endif()
