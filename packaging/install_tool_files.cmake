# Runs when installing the component of a client program's package
# (kavro-mqtt, kavro-web): the unit names the binary under this install's
# prefix, and the program's configuration file goes to the /etc of the
# prefix (kept when it is there: it is the administrator's).
#
# Set by the install rule that includes this script: TOOL_NAME (kavro-mqtt),
# TOOL_SOURCE_DIR, TOOL_BINARY_DIR, TOOL_BINDIR, TOOL_USR_UNIT_DIR, and
# TOOL_KAVRO_DROPINS: files of TOOL_SOURCE_DIR that go to kavro@.service.d.

set(prefix "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/+$" "" prefix "${prefix}")
if(prefix STREQUAL "/usr")
  set(sysconfdir /etc)
  set(unitdir "${TOOL_USR_UNIT_DIR}")
else()
  set(sysconfdir "${prefix}/etc")
  set(unitdir "${prefix}/lib/systemd/system")
endif()
if(IS_ABSOLUTE "${TOOL_BINDIR}")
  set(KAVRO_BINDIR "${TOOL_BINDIR}")
else()
  set(KAVRO_BINDIR "${prefix}/${TOOL_BINDIR}")
endif()
string(MD5 prefix_key "${prefix}")
set(generated "${TOOL_BINARY_DIR}/install-${prefix_key}")
configure_file("${TOOL_SOURCE_DIR}/${TOOL_NAME}@.service.in" "${generated}/${TOOL_NAME}@.service" @ONLY)
file(INSTALL DESTINATION "${unitdir}" TYPE FILE FILES "${generated}/${TOOL_NAME}@.service")
foreach(dropin IN LISTS TOOL_KAVRO_DROPINS)
  file(INSTALL DESTINATION "${unitdir}/kavro@.service.d" TYPE FILE FILES "${TOOL_SOURCE_DIR}/${dropin}")
endforeach()
if(EXISTS "$ENV{DESTDIR}${sysconfdir}/kavro/${TOOL_NAME}.conf")
  message(STATUS "Kept: $ENV{DESTDIR}${sysconfdir}/kavro/${TOOL_NAME}.conf")
else()
  file(INSTALL DESTINATION "${sysconfdir}/kavro" TYPE FILE FILES "${TOOL_SOURCE_DIR}/${TOOL_NAME}.conf")
endif()
