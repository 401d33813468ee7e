# Installation and the Debian package.
include(GNUInstallDirs)

set(TZ_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

install(TARGETS tezmaro-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET tezmaro)
  install(TARGETS tezmaro RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES ${TZ_PACKAGING_DIR}/tezmaro.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${TZ_PACKAGING_DIR}/icons/tezmaro.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 16 24 32 48 64 128 256)
  install(FILES ${TZ_PACKAGING_DIR}/icons/tezmaro-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME tezmaro.png)
endforeach()

# Debian ships manual pages compressed, without a time stamp in the gzip header.
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/packaging/tezmaro-cli.1.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9 -n -c ${TZ_PACKAGING_DIR}/tezmaro-cli.1 > ${CMAKE_BINARY_DIR}/packaging/tezmaro-cli.1.gz
  DEPENDS ${TZ_PACKAGING_DIR}/tezmaro-cli.1
  VERBATIM)
add_custom_target(tz_manpage ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/tezmaro-cli.1.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/tezmaro-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tezmaro)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tezmaro developers <tezmaro@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "round-trip time to the AWS addresses of each region")
set(CPACK_PACKAGE_DESCRIPTION
    "A Qt window and a command-line tool that measure the ICMP round-trip time (or the TCP connect time)\nfrom this machine to the AWS data-centre addresses of each region, with statistics over rounds.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# setcap comes from libcap2-bin; without it the package still works where ping_group_range allows.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TZ_PACKAGING_DIR}/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
