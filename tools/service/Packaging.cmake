# The Debian package: cpack -G DEB in a build tree. Its dependencies are
# read from the programs by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orma-broadcast-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ORMA UDP Broadcast Server developers <relay@orma-broadcast.example>")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "relay for UDP market-data broadcasts
Joins multicast market-data feeds on the interface towards Host and re-sends
every datagram from the interface towards ZENTA, converting new-format market
data into old 7208 depth broadcasts where asked. The package holds the
operator console (orma-broadcast-server), the relay without a window
(orma-relay) with its systemd service, and the feed and monitor tools that
check a relay end to end (orma-feed, orma-monitor).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# postinst makes the service's user with adduser.
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
