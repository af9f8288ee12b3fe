# Builds the Windows installer from the staged zip package (run by the
# kavro_msi target; the installer test runs it too, for a newer version).
# PACKAGE_STAGE: the zip's staging directory; WORK: a directory of its own
# for the installer's files; WXS: kavro.wxs; VERSION: X.Y.Z; MSI: the
# installer to write; ICON: kavro.ico; CLOSER: kavro-close.exe.
find_program(WIXL wixl)
find_program(MSIBUILD msibuild)
if(NOT WIXL OR NOT MSIBUILD)
  message(FATAL_ERROR "wixl and msibuild (Debian packages wixl and msitools) are needed for the installer")
endif()

file(REMOVE_RECURSE ${WORK})
file(COPY ${PACKAGE_STAGE}/ DESTINATION ${WORK})
# An empty trace log: installed only where none exists.
file(WRITE ${WORK}/kavro.log "")
file(COPY_FILE ${ICON} ${WORK}/kavro.ico)
file(COPY_FILE ${CLOSER} ${WORK}/kavro-close.exe)
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
#   is a registry value), never written over a value that is there (128),
#   so that neither a repair nor an upgrade rewrites a configured link, and
#   each is written only where the installation has none (Link only when
#   USBEnabled does not choose the link either); the record log's value is
#   never written over either, but goes with its feature (132);
# - the trace log is permanent and never overwritten (16 + 128);
# - the event source's message file is REG_EXPAND_SZ ("#%"), and its key
#   goes on uninstall ("-": the key as a whole);
# - the flag kavro-close.exe leaves for kavro-loop.cmd goes once the files
#   are in place or removed (RemoveFile, both ways: 3);
# - the record log is off unless RECORDLOG is set (a feature condition);
# - kavro-close.exe runs from the Binary table (type 2, its exit code
#   ignored: 64), so that it is there before the first file is.
file(READ ${WXS} source)
string(REGEX MATCH "UpgradeCode=\"([0-9A-F-]+)\"" found "${source}")
set(upgrade_code ${CMAKE_MATCH_1})
set(queries
  "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'"
  "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('{${upgrade_code}}', '${VERSION}', 513, 'WIX_UPGRADE_DETECTED')"
  "UPDATE `Component` SET `Attributes` = 148, `Condition` = 'NOT HAS_LINK AND NOT HAS_USBENABLED' WHERE `Component` = 'ConfigLink'"
  "UPDATE `Component` SET `Attributes` = 148, `Condition` = 'NOT HAS_LINKSPEED' WHERE `Component` = 'ConfigLinkSpeed'"
  "UPDATE `Component` SET `Attributes` = 148, `Condition` = 'NOT HAS_CONTROLLINES' WHERE `Component` = 'ConfigControlLines'"
  "UPDATE `Component` SET `Attributes` = 148, `Condition` = 'NOT HAS_IPADDR' WHERE `Component` = 'ConfigIpAddr'"
  "UPDATE `Component` SET `Attributes` = 148, `Condition` = 'NOT HAS_IPPORT' WHERE `Component` = 'ConfigIpPort'"
  "UPDATE `Component` SET `Attributes` = 148, `Condition` = 'NOT HAS_KEEPALIVE' WHERE `Component` = 'ConfigKeepalive'"
  "UPDATE `Component` SET `Attributes` = 132 WHERE `Component` = 'ConfigRecordLog'"
  "UPDATE `Component` SET `Attributes` = 144 WHERE `Component` = 'TraceLog'"
  "UPDATE `Registry` SET `Value` = '#%[INSTALLDIR]kavro.exe' WHERE `Name` = 'EventMessageFile'"
  "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Component_`) VALUES ('EventSourceKey', 2, 'SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\kavro', '-', 'EventSource')"
  "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('CloseKavro', 66, 'KavroClose', '30')"
  "INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES ('StopFlag', 'DataDir', 'stop', 'KavroDataDir', 3)"
  "CREATE TABLE `Condition` (`Feature_` CHAR(38) NOT NULL, `Level` SHORT NOT NULL, `Condition` CHAR(255) PRIMARY KEY `Feature_`, `Level`)"
  "INSERT INTO `Condition` (`Feature_`, `Level`, `Condition`) VALUES ('RecordLog', 1, 'RECORDLOG')")
set(args)
foreach(query ${queries})
  list(APPEND args -q "${query}")
endforeach()
execute_process(COMMAND ${MSIBUILD} ${MSI} ${args} RESULT_VARIABLE patched)
if(NOT patched EQUAL 0)
  message(FATAL_ERROR "msibuild could not complete ${MSI}")
endif()
