# Runs when installing, not when configuring: the files that name paths, and
# the places where systemd, udev and logrotate look, follow the prefix of
# this install. `cmake --install build --prefix DIR` and the package that
# cpack makes from the same build tree thus each get their own right paths.
#
# Set by the install rule that includes this script: KAVRO_SOURCE_DIR,
# KAVRO_BINARY_DIR, KAVRO_SBINDIR, KAVRO_INCLUDEDIR, KAVRO_DATADIR,
# KAVRO_VERSION, KAVRO_USR_UNIT_DIR.

set(prefix "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/+$" "" prefix "${prefix}")

function(kavro_full_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

if(prefix STREQUAL "/usr")
  # The system's own places, as a distribution package has them.
  set(sysconfdir /etc)
  set(unitdir "${KAVRO_USR_UNIT_DIR}")
  string(REGEX REPLACE "/systemd/system$" "" systemlib "${unitdir}")
  set(udevrulesdir "${systemlib}/udev/rules.d")
  set(sysusersdir /usr/lib/sysusers.d)
else()
  # systemd, udev and systemd-sysusers also look under /usr/local/lib;
  # logrotate reads only /etc/logrotate.d.
  set(sysconfdir "${prefix}/etc")
  set(unitdir "${prefix}/lib/systemd/system")
  set(udevrulesdir "${prefix}/lib/udev/rules.d")
  set(sysusersdir "${prefix}/lib/sysusers.d")
endif()
# Under /usr the unit leaves the registry to kavro's own default,
# /etc/kavro/kavro.reg, which may be missing (the defaults apply); elsewhere
# it names the file of this prefix.
if(sysconfdir STREQUAL "/etc")
  set(KAVRO_REGISTRY_SETTING "# The registry file is kavro's default, /etc/kavro/kavro.reg; without it the defaults apply.")
else()
  set(KAVRO_REGISTRY_SETTING "Environment=KAVRO_REGISTRY=${sysconfdir}/kavro/kavro.reg")
endif()
kavro_full_path(KAVRO_SBINDIR "${KAVRO_SBINDIR}")
kavro_full_path(includedir "${KAVRO_INCLUDEDIR}")
kavro_full_path(datadir "${KAVRO_DATADIR}")
set(KAVRO_SYSCONFDIR "${sysconfdir}")
set(version "${KAVRO_VERSION}")

string(MD5 prefix_key "${prefix}")
set(generated "${KAVRO_BINARY_DIR}/install-${prefix_key}")
set(src "${KAVRO_SOURCE_DIR}/packaging")
configure_file("${src}/kavro@.service.in" "${generated}/kavro@.service" @ONLY)
configure_file("${src}/libkavrod.pc.in" "${generated}/libkavrod.pc" @ONLY)

file(INSTALL DESTINATION "${unitdir}" TYPE FILE FILES "${generated}/kavro@.service")
file(INSTALL DESTINATION "${datadir}/pkgconfig" TYPE FILE FILES "${generated}/libkavrod.pc")
file(INSTALL DESTINATION "${udevrulesdir}" TYPE FILE FILES "${src}/70-kavro.rules")
file(INSTALL DESTINATION "${sysusersdir}" TYPE FILE RENAME kavro.conf FILES "${src}/kavro.sysusers")
file(INSTALL DESTINATION "${sysconfdir}/logrotate.d" TYPE FILE RENAME kavro FILES "${src}/kavro.logrotate")
# The registry file is the administrator's: an install over a configured
# system keeps it (a package leaves that to dpkg's conffile handling).
if(EXISTS "$ENV{DESTDIR}${sysconfdir}/kavro/kavro.reg")
  message(STATUS "Kept: $ENV{DESTDIR}${sysconfdir}/kavro/kavro.reg")
else()
  file(INSTALL DESTINATION "${sysconfdir}/kavro" TYPE FILE FILES "${src}/kavro.reg")
endif()
