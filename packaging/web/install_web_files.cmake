# Runs when installing the component web: the unit names the binary under
# this install's prefix, and the configuration file goes to the /etc of the
# prefix (kept when it is there: it is the administrator's).
#
# Set by the install rule that includes this script: WEB_SOURCE_DIR,
# WEB_BINARY_DIR, WEB_BINDIR, WEB_USR_UNIT_DIR.

set(prefix "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/+$" "" prefix "${prefix}")
if(prefix STREQUAL "/usr")
  set(sysconfdir /etc)
  set(unitdir "${WEB_USR_UNIT_DIR}")
else()
  set(sysconfdir "${prefix}/etc")
  set(unitdir "${prefix}/lib/systemd/system")
endif()
if(IS_ABSOLUTE "${WEB_BINDIR}")
  set(KAVRO_BINDIR "${WEB_BINDIR}")
else()
  set(KAVRO_BINDIR "${prefix}/${WEB_BINDIR}")
endif()
string(MD5 prefix_key "${prefix}")
set(generated "${WEB_BINARY_DIR}/install-${prefix_key}")
configure_file("${WEB_SOURCE_DIR}/kavro-web@.service.in" "${generated}/kavro-web@.service" @ONLY)
file(INSTALL DESTINATION "${unitdir}" TYPE FILE FILES "${generated}/kavro-web@.service")
if(EXISTS "$ENV{DESTDIR}${sysconfdir}/kavro/kavro-web.conf")
  message(STATUS "Kept: $ENV{DESTDIR}${sysconfdir}/kavro/kavro-web.conf")
else()
  file(INSTALL DESTINATION "${sysconfdir}/kavro" TYPE FILE FILES "${WEB_SOURCE_DIR}/kavro-web.conf")
endif()
