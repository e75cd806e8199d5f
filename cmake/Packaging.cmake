# Installation into the FHS places and the two Debian packages (scripts/package builds them):
#   velto        the agent and its command line, desktop entry, icon, metadata, manual page;
#   velto-relay  the relay with its dashboard, a systemd unit, its settings file, manual page.
# The programs find their files relative to where they are installed (bin/../share/<package>).
include(GNUInstallDirs)

# Installing needs only the programs and these files (scripts/package builds just those), not
# the tests and benchmarks of the same build.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Manual pages and changelogs are installed compressed, without a time stamp (reproducible).
find_program(VELTO_GZIP gzip REQUIRED)
function(velto_gzip source output)
  add_custom_command(OUTPUT "${output}"
    COMMAND ${VELTO_GZIP} -9nc "${source}" > "${output}"
    DEPENDS "${source}" VERBATIM)
endfunction()

set(packaging "${PROJECT_SOURCE_DIR}/packaging")
set(packed "${CMAKE_BINARY_DIR}/packaging")
file(MAKE_DIRECTORY "${packed}")
string(TIMESTAMP VELTO_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(package velto velto-relay)
  file(WRITE "${packed}/${package}.changelog"
    "${package} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Built from the Velto source tree.\n\n"
    " -- Velto developers <dev@velto.invalid>  ${VELTO_CHANGELOG_DATE}\n")
  velto_gzip("${packed}/${package}.changelog" "${packed}/${package}.changelog.gz")
endforeach()
velto_gzip("${packaging}/velto.1" "${packed}/velto.1.gz")
velto_gzip("${packaging}/velto-relay.8" "${packed}/velto-relay.8.gz")
add_custom_target(velto_packaging_files ALL DEPENDS
  "${packed}/velto.1.gz" "${packed}/velto-relay.8.gz"
  "${packed}/velto.changelog.gz" "${packed}/velto-relay.changelog.gz")

# velto
install(TARGETS velto RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT agent)
install(FILES resources/v1.schema.json DESTINATION ${CMAKE_INSTALL_DATADIR}/velto COMPONENT agent)
install(FILES scenarios/default.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/velto/scenarios COMPONENT agent)
install(FILES "${packaging}/velto.desktop"
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT agent)
install(FILES "${packaging}/velto.svg"
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT agent)
install(FILES "${packaging}/velto.metainfo.xml"
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo RENAME local.velto.Velto.metainfo.xml
  COMPONENT agent)
install(FILES "${packaging}/velto-autostart.desktop"
  DESTINATION /etc/xdg/autostart RENAME velto.desktop COMPONENT agent)
install(FILES "${packed}/velto.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT agent)
# Shell completion, written by the program when it is built (src/velto).
install(FILES "${CMAKE_BINARY_DIR}/completions/velto.bash"
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME velto COMPONENT agent)
install(FILES "${CMAKE_BINARY_DIR}/completions/_velto"
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions COMPONENT agent)
install(FILES "${packaging}/copyright" DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velto
  COMPONENT agent)
install(FILES "${packed}/velto.changelog.gz" DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velto
  RENAME changelog.gz COMPONENT agent)

# velto-relay
install(TARGETS velto-relay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT relay)
install(FILES resources/v1.schema.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/velto-relay COMPONENT relay)
install(DIRECTORY src/relay/dashboard/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/velto-relay/dashboard COMPONENT relay)
install(FILES "${packaging}/velto-relay.service" DESTINATION /lib/systemd/system COMPONENT relay)
install(FILES "${packaging}/relay.conf" DESTINATION /etc/velto-relay COMPONENT relay)
install(FILES "${packed}/velto-relay.8.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT relay)
install(FILES "${packaging}/copyright" DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velto-relay
  COMPONENT relay)
install(FILES "${packed}/velto-relay.changelog.gz"
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velto-relay RENAME changelog.gz COMPONENT relay)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velto)
set(CPACK_PACKAGE_VENDOR "Velto developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Velto developers <dev@velto.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages-work")
set(CPACK_OUTPUT_FILE_PREFIX "${PROJECT_SOURCE_DIR}/build/packages")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL agent relay)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://velto.invalid/")

set(CPACK_DEBIAN_AGENT_PACKAGE_NAME velto)
set(CPACK_DEBIAN_AGENT_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_AGENT_DESCRIPTION "operate this computer from a phone or an assistant
Velto is a tray agent that carries out commands sent from the person's own
relay dashboard, from the command line or from an AI assistant: apps,
websites, volume, playback, approved shortcuts, lock and sleep, with the
same checks for every command.")
set(CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_EXTRA "${packaging}/debian/velto/conffiles")
# Plugins Qt loads at run time, which the library scan cannot see: the window's icons and the
# display connection.
set(CPACK_DEBIAN_AGENT_PACKAGE_DEPENDS "libqt6svg6, qt6-qpa-plugins")
# The keychain and the desktop services the agent talks to at run time.
set(CPACK_DEBIAN_AGENT_PACKAGE_RECOMMENDS "gnome-keyring | kwalletmanager, pulseaudio | pipewire-pulse")

set(CPACK_DEBIAN_RELAY_PACKAGE_NAME velto-relay)
set(CPACK_DEBIAN_RELAY_PACKAGE_SECTION net)
# The database driver is a plugin Qt loads at run time; the openssl program makes the
# certificate of a relay given none.
set(CPACK_DEBIAN_RELAY_PACKAGE_DEPENDS "adduser, libqt6sql6-sqlite, openssl")
set(CPACK_COMPONENT_RELAY_DESCRIPTION "relay and web dashboard for Velto
The relay pairs computers running Velto with their owners' accounts, holds
each computer's session and serves the web dashboard, all on one HTTPS
port. It runs as a systemd service under its own user, with its state in
/var/lib/velto-relay.")
set(CPACK_DEBIAN_RELAY_PACKAGE_CONTROL_EXTRA
  "${packaging}/debian/velto-relay/postinst;${packaging}/debian/velto-relay/prerm;${packaging}/debian/velto-relay/postrm;${packaging}/debian/velto-relay/conffiles")

include(CPack)
