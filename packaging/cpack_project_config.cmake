# Read by cpack for each generator. Without dpkg-shlibdeps CPack would quietly write a package with
# no Depends, which installs anywhere and then fails to start.
if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(QUORBEL_SHLIBDEPS dpkg-shlibdeps)
  if(NOT QUORBEL_SHLIBDEPS)
    message(FATAL_ERROR "The Debian package needs dpkg-shlibdeps to compute its Depends: "
                        "apt-get install dpkg-dev")
  endif()
endif()
