# Runs at install time, from `cmake --install` or from CPack's staging, so that ExecStart names the
# binary under the prefix actually installed to, not the one configured.
# Set by the install rules before this script: QUORBEL_UNIT_TEMPLATE, QUORBEL_USER_UNIT_DIR,
# QUORBEL_INSTALL_BINDIR, QUORBEL_INSTALL_DATADIR.

set(unit_dir "${QUORBEL_USER_UNIT_DIR}")
if(NOT unit_dir)
  # Under /usr the unit belongs where distribution packages put user units. Elsewhere share/ is
  # the one place the user manager searches under ~/.local as well as under /usr/local.
  if(CMAKE_INSTALL_PREFIX MATCHES "^/usr/*$")
    set(unit_dir "lib/systemd/user")
  else()
    set(unit_dir "${QUORBEL_INSTALL_DATADIR}/systemd/user")
  endif()
endif()

set(QUORBEL_HELPER_EXECUTABLE "${CMAKE_INSTALL_PREFIX}/${QUORBEL_INSTALL_BINDIR}/QuorbelHelper")
set(unit "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${unit_dir}/quorbel-helper.service")
message(STATUS "Installing: ${unit}")
configure_file("${QUORBEL_UNIT_TEMPLATE}" "${unit}" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unit}")
