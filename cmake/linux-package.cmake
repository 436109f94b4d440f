# The Linux package (cpack -G DEB in the build folder). The program expects setup.ini and
# the configuration programs beside it, so it lives in a folder of its own,
# /usr/lib/lintaro; its setup.ini there is a link to /etc/lintaro/setup.ini, a
# configuration file of the package that an upgrade or reinstall never overwrites
# (dpkg keeps the administrator's edits or asks). A `lintaro` command on PATH, a desktop
# entry and the icon.
set(LINTARO_INSTALL_DIR lib/lintaro)
set(LINTARO_SETUP_INI /etc/lintaro/setup.ini)
set(LINTARO_PACKAGE_MAINTAINER "Vormex <support@vormex.example>"
  CACHE STRING "Maintainer of the Linux package: name and e-mail address")
install(TARGETS Lintaro lintaro-setup-sample RUNTIME DESTINATION ${LINTARO_INSTALL_DIR})
# An absolute destination: installed as it stands, outside the package's prefix.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/linux/setup.ini DESTINATION /etc/lintaro)
install(CODE "
  set(root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  file(MAKE_DIRECTORY \"\${root}/bin\" \"\${root}/${LINTARO_INSTALL_DIR}\")
  file(CREATE_LINK ../${LINTARO_INSTALL_DIR}/Lintaro \"\${root}/bin/lintaro\" SYMBOLIC)
  file(CREATE_LINK ${LINTARO_SETUP_INI} \"\${root}/${LINTARO_INSTALL_DIR}/setup.ini\" SYMBOLIC)")
install(FILES ${CMAKE_SOURCE_DIR}/packaging/linux/lintaro.desktop DESTINATION share/applications)
install(FILES ${CMAKE_SOURCE_DIR}/src/resources/lintaro.png
  DESTINATION share/icons/hicolor/256x256/apps)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/linux/copyright DESTINATION share/doc/lintaro)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/linux/lintian-overrides
  DESTINATION share/lintian/overrides RENAME lintaro)
# Debian wants a compressed changelog (a version without a Debian revision: a native
# package's name): made when the build is configured, dated then (or by SOURCE_DATE_EPOCH,
# for a package that is the same for the same source).
set(_changelog ${CMAKE_BINARY_DIR}/package/changelog)
string(TIMESTAMP _changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${_changelog} "lintaro (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}.\n\n -- ${LINTARO_PACKAGE_MAINTAINER}  ${_changelog_date}\n")
install(CODE "execute_process(COMMAND gzip -9nc \"${_changelog}\"
  OUTPUT_FILE \"${CMAKE_BINARY_DIR}/package/changelog.gz\")")
install(FILES ${CMAKE_BINARY_DIR}/package/changelog.gz DESTINATION share/doc/lintaro)
# Only the Qt translation the program uses (its save dialog), read from beside the program,
# instead of Debian's whole translations package.
set(_qm /usr/share/qt6/translations/qtbase_ru.qm)
if(EXISTS ${_qm})
  install(FILES ${_qm} DESTINATION ${LINTARO_INSTALL_DIR}/translations)
else()
  message(WARNING "${_qm} not found (Debian package qt6-translations-l10n): the package's "
    "save dialog stays in English")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lintaro)
set(CPACK_PACKAGE_VENDOR Vormex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "connection wizard for field devices")
set(CPACK_PACKAGE_DESCRIPTION "Links a field device on a serial line (a USB/COM cable or a GSM
modem) to the device's own configuration program, which speaks TCP, and
relays bytes between them. Configuration programs made for Windows run
through Wine.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LINTARO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)   # lintaro_<version>_amd64.deb
# The programs without their debug information (a build of RelWithDebInfo carries it).
set(CPACK_STRIP_FILES ON)
# The Qt and C++ libraries the programs link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's X11/Wayland platform plugins are a package of their own.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# Windows configuration programs are started through Wine.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wine")
file(WRITE ${CMAKE_BINARY_DIR}/package/conffiles "${LINTARO_SETUP_INI}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/package/conffiles)
include(CPack)
