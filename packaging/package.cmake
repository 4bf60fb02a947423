# package.cmake: `cmake --install` of the daemon with its systemd unit,
# example settings, schema and manual page, and the Debian package built from
# them by `cpack -G DEB`. Included by the top-level CMakeLists.txt.
include(GNUInstallDirs)

# Installing (and so cpack) takes what is built and builds nothing more: the
# package needs only the daemon, and `scripts/build tarvex` is all it waits
# for, not the tests and benchmarks of the "all" target.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

install(TARGETS tarvex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(CODE "
  set(TARVEX_PKG_SOURCE_DIR \"${CMAKE_CURRENT_LIST_DIR}\")
  set(TARVEX_PKG_BINARY_DIR \"${CMAKE_BINARY_DIR}/packaging\")
  set(TARVEX_SCHEMA_SOURCE \"${CMAKE_SOURCE_DIR}/db/schema.sql\")
  set(TARVEX_VERSION \"${PROJECT_VERSION}\")
  set(TARVEX_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(TARVEX_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
  set(TARVEX_MANDIR \"${CMAKE_INSTALL_MANDIR}\")")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/install.cmake)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tarvex developers <tarvex@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "behavioural security monitor for small networks")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS postgresql)
# Vendor names of hardware addresses come from udev's hardware database.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS udev)
# The summary is the first line of the description; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "tarvex receives the logs of a home or small-office network's gateway, DHCP
server and DNS resolver as UDP syslog, learns which devices are on the
network and what they are, builds a graph of devices, addresses and
services, and raises alerts when independent signals converge. It serves a
browser dashboard, a JSON HTTP API and a WebSocket live feed, optionally
keeping a copy in PostgreSQL.

The service is installed but not started: edit /etc/tarvex/tarvex.env, then
run systemctl enable --now tarvex.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/prerm ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
