# install.cmake: installs the service files, run by `cmake --install` (and by
# cpack) after the binary. It works out the paths from the prefix given at
# install time, so the unit starts the binary it was installed with and reads
# the settings file installed beside it: with the prefix /usr (the package)
# that is /usr/bin/tarvex and /etc/tarvex/tarvex.env, with /usr/local
# /usr/local/bin/tarvex and /usr/local/etc/tarvex/tarvex.env.
#
# Set by the install(CODE) before this script: TARVEX_PKG_SOURCE_DIR,
# TARVEX_PKG_BINARY_DIR, TARVEX_SCHEMA_SOURCE, TARVEX_VERSION and the
# relative TARVEX_BINDIR, TARVEX_DATADIR, TARVEX_MANDIR.

string(REGEX REPLACE "/+$" "" prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "" OR prefix STREQUAL "/usr")
  set(sysconfdir "/etc")
else()
  set(sysconfdir "${prefix}/etc")
endif()

set(TARVEX_BINARY "${prefix}/${TARVEX_BINDIR}/tarvex")
set(unitdir "${prefix}/lib/systemd/system")
set(TARVEX_UNIT "${unitdir}/tarvex.service")
set(TARVEX_ENV_FILE "${sysconfdir}/tarvex/tarvex.env")
set(TARVEX_SCHEMA "${prefix}/${TARVEX_DATADIR}/tarvex/schema.sql")

set(out "${TARVEX_PKG_BINARY_DIR}/install")
configure_file("${TARVEX_PKG_SOURCE_DIR}/tarvex.service.in" "${out}/tarvex.service" @ONLY)
configure_file("${TARVEX_PKG_SOURCE_DIR}/tarvex.8.in" "${out}/tarvex.8" @ONLY)
configure_file("${TARVEX_PKG_SOURCE_DIR}/tarvex.env" "${out}/tarvex.env" @ONLY)

file(INSTALL "${out}/tarvex.service" DESTINATION "${unitdir}")
file(INSTALL "${out}/tarvex.8" DESTINATION "${prefix}/${TARVEX_MANDIR}/man8")
file(INSTALL "${TARVEX_SCHEMA_SOURCE}" DESTINATION "${prefix}/${TARVEX_DATADIR}/tarvex")

# The settings file may come to hold the database password: root only (the
# service manager reads it before it drops privileges). One edited by hand
# is never overwritten; the new example goes beside it.
set(env_dest "$ENV{DESTDIR}${TARVEX_ENV_FILE}")
if(EXISTS "${env_dest}")
  message(STATUS "Keeping: ${env_dest} (the example is tarvex.env.example beside it)")
  file(INSTALL "${out}/tarvex.env" DESTINATION "${sysconfdir}/tarvex"
       RENAME tarvex.env.example PERMISSIONS OWNER_READ OWNER_WRITE)
else()
  file(INSTALL "${out}/tarvex.env" DESTINATION "${sysconfdir}/tarvex"
       PERMISSIONS OWNER_READ OWNER_WRITE)
endif()
