# Runs at install time, from `cmake --install` or from CPack's staging, so that Exec names the tray
# under the prefix actually installed to. Set by the install rules before this script:
# QUORBEL_AUTOSTART_TEMPLATE, QUORBEL_INSTALL_BINDIR.

# Desktops start what /etc/xdg/autostart holds; under any other prefix the entry lands in its etc/,
# to be copied to ~/.config/autostart by the user who wants it.
if(CMAKE_INSTALL_PREFIX MATCHES "^/usr/*$")
  set(autostart_dir "/etc/xdg/autostart")
else()
  set(autostart_dir "${CMAKE_INSTALL_PREFIX}/etc/xdg/autostart")
endif()
set(QUORBEL_TRAY_EXECUTABLE "${CMAKE_INSTALL_PREFIX}/${QUORBEL_INSTALL_BINDIR}/quorbel-tray")
set(entry "$ENV{DESTDIR}${autostart_dir}/quorbel-tray.desktop")
message(STATUS "Installing: ${entry}")
configure_file("${QUORBEL_AUTOSTART_TEMPLATE}" "${entry}" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${entry}")
