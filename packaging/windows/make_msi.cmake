# Builds the Windows installer from the staged zip package (run by the
# kavro_msi target; the installer test runs it too, for a newer version).
# PACKAGE_STAGE: the zip's staging directory; WORK: a directory of its own
# for the installer's files; WXS: kavro.wxs; VERSION: X.Y.Z; MSI: the
# installer to write.
find_program(WIXL wixl)
find_program(MSIBUILD msibuild)
if(NOT WIXL OR NOT MSIBUILD)
  message(FATAL_ERROR "wixl and msibuild (Debian packages wixl and msitools) are needed for the installer")
endif()

file(REMOVE_RECURSE ${WORK})
file(COPY ${PACKAGE_STAGE}/ DESTINATION ${WORK})
# An empty trace log: installed only where none exists.
file(WRITE ${WORK}/kavro.log "")
file(REMOVE ${MSI})
execute_process(COMMAND ${WIXL} -a x86 -D Version=${VERSION} -o ${MSI} ${WXS}
  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "wixl could not build ${MSI}")
endif()

# What wixl cannot say in the source, set in the tables themselves:
# - a package of the same version replaces the installed one too, as one of
#   a newer version does (the upgrade's maximum version inclusive, 512);
# - the configuration values are permanent (attribute 16; 4: the key path
#   is a registry value) and each is written only where the installation
#   has none (Link only when USBEnabled does not choose the link either);
# - the trace log is permanent and never overwritten (16 + 128);
# - the event source's message file is REG_EXPAND_SZ ("#%"), and its key
#   goes on uninstall ("-": the key as a whole).
file(READ ${WXS} source)
string(REGEX MATCH "UpgradeCode=\"([0-9A-F-]+)\"" found "${source}")
set(upgrade_code ${CMAKE_MATCH_1})
set(queries
  "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'"
  "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('{${upgrade_code}}', '${VERSION}', 513, 'WIX_UPGRADE_DETECTED')"
  "UPDATE `Component` SET `Attributes` = 20, `Condition` = 'NOT HAS_LINK AND NOT HAS_USBENABLED' WHERE `Component` = 'ConfigLink'"
  "UPDATE `Component` SET `Attributes` = 20, `Condition` = 'NOT HAS_LINKSPEED' WHERE `Component` = 'ConfigLinkSpeed'"
  "UPDATE `Component` SET `Attributes` = 20, `Condition` = 'NOT HAS_CONTROLLINES' WHERE `Component` = 'ConfigControlLines'"
  "UPDATE `Component` SET `Attributes` = 20, `Condition` = 'NOT HAS_IPADDR' WHERE `Component` = 'ConfigIpAddr'"
  "UPDATE `Component` SET `Attributes` = 20, `Condition` = 'NOT HAS_IPPORT' WHERE `Component` = 'ConfigIpPort'"
  "UPDATE `Component` SET `Attributes` = 20, `Condition` = 'NOT HAS_KEEPALIVE' WHERE `Component` = 'ConfigKeepalive'"
  "UPDATE `Component` SET `Attributes` = 144 WHERE `Component` = 'TraceLog'"
  "UPDATE `Registry` SET `Value` = '#%[INSTALLDIR]kavro.exe' WHERE `Name` = 'EventMessageFile'"
  "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) VALUES ('EventSourceKey', 2, 'SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\kavro', '-', 'EventSource')")
set(args)
foreach(query ${queries})
  list(APPEND args -q "${query}")
endforeach()
execute_process(COMMAND ${MSIBUILD} ${MSI} ${args} RESULT_VARIABLE patched)
if(NOT patched EQUAL 0)
  message(FATAL_ERROR "msibuild could not complete ${MSI}")
endif()
