# Windows builds: everything a program in bin/ needs to start lands beside it, so the
# build folder runs under Wine (or on Windows) as it is and the package is a copy of it.
# - the compiler's runtime DLLs (Qt's DLLs link them, so every program shares one copy);
# - with the Qt program: Qt's DLLs, the platform and style plugins, and the Russian
#   translations of Qt's own dialogs.
set(_bin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
set(LINTARO_WINDOWS_RUNTIME)
foreach(_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
    OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(_path "${_path}" ABSOLUTE)
  if(NOT EXISTS "${_path}")
    message(FATAL_ERROR "The compiler's runtime ${_dll} was not found (${_path})")
  endif()
  list(APPEND LINTARO_WINDOWS_RUNTIME "${_path}")
endforeach()
file(COPY ${LINTARO_WINDOWS_RUNTIME} DESTINATION ${_bin})

function(lintaro_deploy_qt_windows)
  get_target_property(_core Qt6::Core IMPORTED_LOCATION_RELEASE)
  if(NOT _core)
    get_target_property(_core Qt6::Core IMPORTED_LOCATION)
  endif()
  get_filename_component(_qtbin "${_core}" DIRECTORY)
  get_filename_component(_qtprefix "${_qtbin}" DIRECTORY)
  set(_files)
  foreach(_module Core Gui Widgets Network)
    list(APPEND _files "${_qtbin}/Qt6${_module}.dll")
  endforeach()
  set(_plugins
    platforms/qwindows.dll
    # GUI tests run on the offscreen platform, as on Linux.
    platforms/qoffscreen.dll
    styles/qwindowsvistastyle.dll)
  set(_commands)
  foreach(_f ${_files})
    list(APPEND _commands COMMAND ${CMAKE_COMMAND} -E copy_if_different "${_f}" "${_bin}/")
  endforeach()
  foreach(_p ${_plugins})
    get_filename_component(_sub "${_p}" DIRECTORY)
    list(APPEND _commands
      COMMAND ${CMAKE_COMMAND} -E make_directory "${_bin}/${_sub}"
      COMMAND ${CMAKE_COMMAND} -E copy_if_different "${_qtprefix}/plugins/${_p}" "${_bin}/${_sub}/")
  endforeach()
  # Qt's own translations are the same files on every platform (Debian's package).
  set(_qm /usr/share/qt6/translations/qtbase_ru.qm)
  if(EXISTS ${_qm})
    list(APPEND _commands
      COMMAND ${CMAKE_COMMAND} -E make_directory "${_bin}/translations"
      COMMAND ${CMAKE_COMMAND} -E copy_if_different "${_qm}" "${_bin}/translations/")
  else()
    message(WARNING "${_qm} not found (Debian package qt6-translations-l10n): Qt's dialogs stay in English")
  endif()
  add_custom_target(lintaro_qt_runtime ALL ${_commands}
    COMMENT "Qt's DLLs and plugins beside the programs")
endfunction()
