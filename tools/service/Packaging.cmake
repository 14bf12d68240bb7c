# The Debian packages: cpack -G DEB in a build tree makes
#   orma-relay             the relay service, feed and monitor tools (no Qt)
#   orma-broadcast-server  the operator console (when ORMA_BUILD_CONSOLE)
# and a -dbgsym package of each with the programs' detached debug symbols.
# Each package's dependencies are read from its own programs by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL relay)
if(ORMA_BUILD_CONSOLE)
  list(APPEND CPACK_COMPONENTS_ALL console)
endif()
set(CPACK_PACKAGE_NAME orma-broadcast-server)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ORMA UDP Broadcast Server developers <relay@orma-broadcast.example>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Not stripped by cpack: the debug-symbol step splits the symbols out first.
set(CPACK_STRIP_FILES OFF)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

set(CPACK_DEBIAN_RELAY_PACKAGE_NAME orma-relay)
set(CPACK_DEBIAN_RELAY_PACKAGE_SECTION net)
set(CPACK_COMPONENT_RELAY_DESCRIPTION "relay for UDP market-data broadcasts, as a service
Joins multicast market-data feeds on the interface towards Host and re-sends
every datagram from the interface towards ZENTA, converting new-format market
data into old 7208 depth broadcasts where asked. The package holds the relay
without a window (orma-relay) with its systemd service, the feed and monitor
tools that check a relay end to end (orma-feed, orma-monitor), and alert
rules and a dashboard for its metrics. It needs no desktop.")
# postinst makes the service's user with adduser.
set(CPACK_DEBIAN_RELAY_PACKAGE_DEPENDS adduser)
# The capture archive loads libpcap when --capture-dir asks for it; tshark reads
# the captures with the shipped dissector and tcpreplay replays them.
set(CPACK_DEBIAN_RELAY_PACKAGE_SUGGESTS "libpcap0.8, tshark, tcpreplay")
set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles)

set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME orma-broadcast-server)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_SECTION net)
set(CPACK_COMPONENT_CONSOLE_DESCRIPTION "operator console of a UDP market-data broadcast relay
The desktop program that sets up, starts and watches the relays of market-data
broadcasts from the interface towards Host to the interface towards ZENTA.
The relay without a window and its service are in the orma-relay package.")
include(CPack)
