# Runs at install time, from `cmake --install` or from CPack's staging, so that ExecStart names the
# binaries under the prefix actually installed to, not the one configured.
# Set by the install rules before this script: QUORBEL_UNIT_TEMPLATES, QUORBEL_USER_UNIT_DIR,
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
set(QUORBEL_STATUS_EXECUTABLE "${CMAKE_INSTALL_PREFIX}/${QUORBEL_INSTALL_BINDIR}/quorbel-status")
foreach(template IN LISTS QUORBEL_UNIT_TEMPLATES)
  get_filename_component(unit_name "${template}" NAME_WLE)
  set(unit "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${unit_dir}/${unit_name}")
  message(STATUS "Installing: ${unit}")
  configure_file("${template}" "${unit}" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unit}")
endforeach()
