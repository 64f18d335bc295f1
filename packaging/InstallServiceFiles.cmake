# Runs at install time, from cmake_install.cmake: writes the systemd unit and
# the launchd property list with the paths of this installation.
# CMAKE_INSTALL_PREFIX is the install-time prefix here; file(INSTALL) adds
# DESTDIR (cpack) and records the files in install_manifest.txt.
# Inputs: SN_SERVICE_NAME, SN_INSTALL_BINDIR, SN_INSTALL_DATADIR, SN_INSTALL_DOCDIR,
# SN_PACKAGING_SOURCE_DIR, SN_PACKAGING_BINARY_DIR.

set(SN_BINDIR "${CMAKE_INSTALL_PREFIX}/${SN_INSTALL_BINDIR}")
set(SN_DOCDIR "${CMAKE_INSTALL_PREFIX}/${SN_INSTALL_DOCDIR}")
# As GNUInstallDirs has it: an installation in /usr keeps its settings in
# /etc and its state in /var, any other in PREFIX/etc and PREFIX/var.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(SN_SYSCONFDIR "/etc")
  set(SN_LOCALSTATEDIR "/var")
else()
  set(SN_SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/etc")
  set(SN_LOCALSTATEDIR "${CMAKE_INSTALL_PREFIX}/var")
endif()

set(scratch "${SN_PACKAGING_BINARY_DIR}/service-files")
# Two units from one source: the plain one for one bridge a machine, and the
# template NAME@.service, whose instance ROOM reads /etc/NAME/ROOM.xml and
# keeps its state in /var/lib/NAME/ROOM.
set(SN_UNIT_FILE "${SN_SERVICE_NAME}.service, one bridge a machine")
set(SN_UNIT_TITLE "")
set(SN_UNIT_CONFIG "/etc/${SN_SERVICE_NAME}/config.xml")
set(SN_UNIT_ENABLE "${SN_SERVICE_NAME}")
set(SN_UNIT_STATE "${SN_SERVICE_NAME}")
set(SN_UNIT_IDENTIFIER "${SN_SERVICE_NAME}")
configure_file("${SN_PACKAGING_SOURCE_DIR}/patientsimulatorsentrel.service.in"
               "${scratch}/${SN_SERVICE_NAME}.service" @ONLY)
set(SN_UNIT_FILE "${SN_SERVICE_NAME}@.service, one bridge an instance")
set(SN_UNIT_TITLE " %i")
set(SN_UNIT_CONFIG "/etc/${SN_SERVICE_NAME}/%i.xml")
set(SN_UNIT_ENABLE "${SN_SERVICE_NAME}@ROOM")
set(SN_UNIT_STATE "${SN_SERVICE_NAME}/%i")
set(SN_UNIT_IDENTIFIER "${SN_SERVICE_NAME}@%i")
configure_file("${SN_PACKAGING_SOURCE_DIR}/patientsimulatorsentrel.service.in"
               "${scratch}/${SN_SERVICE_NAME}@.service" @ONLY)
configure_file("${SN_PACKAGING_SOURCE_DIR}/patientsimulatorsentrel.plist.in"
               "${scratch}/local.${SN_SERVICE_NAME}.plist" @ONLY)

# systemd reads PREFIX/lib/systemd/system for /usr and /usr/local.
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${scratch}/${SN_SERVICE_NAME}.service" "${scratch}/${SN_SERVICE_NAME}@.service")
# launchd reads only /Library/LaunchDaemons, outside any prefix: the list
# waits in the data folder until the administrator copies it there.
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${SN_INSTALL_DATADIR}/launchd" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${scratch}/local.${SN_SERVICE_NAME}.plist")
