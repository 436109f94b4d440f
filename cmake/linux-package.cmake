# The Linux package (cpack -G DEB in the build folder): the program in a folder of its own,
# /opt/lintaro, so setup.ini and the configuration programs go beside it as the program
# expects; a `lintaro` command on PATH, a desktop entry and the icon.
set(LINTARO_INSTALL_DIR /opt/lintaro)
install(TARGETS Lintaro lintaro-setup-sample RUNTIME DESTINATION ${LINTARO_INSTALL_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/linux/setup.ini DESTINATION ${LINTARO_INSTALL_DIR})
install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
  file(CREATE_LINK ${LINTARO_INSTALL_DIR}/Lintaro
       \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/lintaro\" SYMBOLIC)")
install(FILES ${CMAKE_SOURCE_DIR}/packaging/linux/lintaro.desktop DESTINATION share/applications)
install(FILES ${CMAKE_SOURCE_DIR}/src/resources/lintaro.png
  DESTINATION share/icons/hicolor/256x256/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lintaro)
set(CPACK_PACKAGE_VENDOR Vormex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Connection wizard for field devices (Мастер подключения)")
set(CPACK_PACKAGE_DESCRIPTION "Links a field device on a serial line (a USB/COM cable or a GSM modem) to the device's own configuration program, which speaks TCP, and relays bytes between them.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vormex")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)   # lintaro_<version>_amd64.deb
# The Qt and C++ libraries the programs link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's X11/Wayland platform plugins are a package of their own; Qt's Russian dialogs too.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
include(CPack)
