# Runs when installing the component mqtt: the unit names the binary under
# this install's prefix, and the configuration file goes to the /etc of the
# prefix (kept when it is there: it is the administrator's).
#
# Set by the install rule that includes this script: MQTT_SOURCE_DIR,
# MQTT_BINARY_DIR, MQTT_BINDIR, MQTT_USR_UNIT_DIR.

set(prefix "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/+$" "" prefix "${prefix}")
if(prefix STREQUAL "/usr")
  set(sysconfdir /etc)
  set(unitdir "${MQTT_USR_UNIT_DIR}")
else()
  set(sysconfdir "${prefix}/etc")
  set(unitdir "${prefix}/lib/systemd/system")
endif()
if(IS_ABSOLUTE "${MQTT_BINDIR}")
  set(KAVRO_BINDIR "${MQTT_BINDIR}")
else()
  set(KAVRO_BINDIR "${prefix}/${MQTT_BINDIR}")
endif()
string(MD5 prefix_key "${prefix}")
set(generated "${MQTT_BINARY_DIR}/install-${prefix_key}")
configure_file("${MQTT_SOURCE_DIR}/kavro-mqtt@.service.in" "${generated}/kavro-mqtt@.service" @ONLY)
file(INSTALL DESTINATION "${unitdir}" TYPE FILE FILES "${generated}/kavro-mqtt@.service")
# The drop-in that gives every kavro@ instance its record log.
file(INSTALL DESTINATION "${unitdir}/kavro@.service.d" TYPE FILE FILES "${MQTT_SOURCE_DIR}/kavro-mqtt-record-log.conf")
if(EXISTS "$ENV{DESTDIR}${sysconfdir}/kavro/kavro-mqtt.conf")
  message(STATUS "Kept: $ENV{DESTDIR}${sysconfdir}/kavro/kavro-mqtt.conf")
else()
  file(INSTALL DESTINATION "${sysconfdir}/kavro" TYPE FILE FILES "${MQTT_SOURCE_DIR}/kavro-mqtt.conf")
endif()
