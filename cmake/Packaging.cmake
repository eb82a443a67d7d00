# What an operator installs: the programs (installed where they are built), the manual page, and
# the packages that carry them. `cmake --install build` installs; `cpack` in a build directory
# makes a .deb on Linux and a .zip of the Windows build, in its packages/ directory.

# ---- The manual page, brelwick(1) ----
set(BRELWICK_MAN_PAGE ${CMAKE_CURRENT_SOURCE_DIR}/docs/brelwick.1)
if(WIN32)
  # Windows has no man: its zip carries the page as plain text, when the build machine has groff,
  # and the README.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION .)
  find_program(BRELWICK_GROFF groff)
  if(BRELWICK_GROFF)
    set(BRELWICK_MAN_TXT ${CMAKE_CURRENT_BINARY_DIR}/brelwick.txt)
    add_custom_command(OUTPUT ${BRELWICK_MAN_TXT}
      COMMAND ${CMAKE_COMMAND} -DGROFF=${BRELWICK_GROFF} -DPAGE=${BRELWICK_MAN_PAGE}
              -DOUT=${BRELWICK_MAN_TXT} -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/RenderManPage.cmake
      DEPENDS ${BRELWICK_MAN_PAGE} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/RenderManPage.cmake
      COMMENT "Rendering the manual page as text"
      VERBATIM)
    add_custom_target(brelwick_man ALL DEPENDS ${BRELWICK_MAN_TXT})
    install(FILES ${BRELWICK_MAN_TXT} DESTINATION .)
  else()
    message(STATUS "groff not found: the Windows package carries no brelwick.txt")
  endif()
else()
  find_program(BRELWICK_GZIP gzip)
  if(BRELWICK_GZIP)
    # Debian keeps manual pages gzipped; -n leaves the time out, so equal pages pack equally.
    set(BRELWICK_MAN_GZ ${CMAKE_CURRENT_BINARY_DIR}/man/brelwick.1.gz)
    add_custom_command(OUTPUT ${BRELWICK_MAN_GZ}
      COMMAND ${CMAKE_COMMAND} -E copy ${BRELWICK_MAN_PAGE} ${CMAKE_CURRENT_BINARY_DIR}/man/brelwick.1
      COMMAND ${BRELWICK_GZIP} -9nf ${CMAKE_CURRENT_BINARY_DIR}/man/brelwick.1
      DEPENDS ${BRELWICK_MAN_PAGE}
      COMMENT "Compressing the manual page"
      VERBATIM)
    add_custom_target(brelwick_man ALL DEPENDS ${BRELWICK_MAN_GZ})
    install(FILES ${BRELWICK_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${BRELWICK_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endif()

# ---- Packages ----
set(CPACK_PACKAGE_NAME brelwick)
set(CPACK_PACKAGE_VENDOR brelwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Lines as the Debian control file shows them, short enough for a terminal.
set(CPACK_PACKAGE_DESCRIPTION
    "brelwick writes a firmware image (Intel HEX) into the unit's flash over a
serial line, checking the unit's echo of every byte.
unit-sim plays the unit's loader on a pseudo-terminal, so that an update can
be rehearsed without a unit.")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

  # The maintainer is whoever wrote the commit the package is built from: every clone knows it,
  # whatever git identity the building machine has, or lacks.
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 "--format=%an <%ae>"
      WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
      OUTPUT_VARIABLE BRELWICK_MAINTAINER OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(BRELWICK_MAINTAINER MATCHES "^.+ <.+@.+>$")
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BRELWICK_MAINTAINER}")
  else()
    message(STATUS "not built from a git checkout: the package maintainer is left as brelwick maintainers")
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "brelwick maintainers")
  endif()

  # The libraries the programs link (libc, libstdc++) become the package's dependencies.
  find_program(BRELWICK_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(BRELWICK_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    message(STATUS "dpkg-shlibdeps not found (dpkg-dev): the .deb will list no dependencies")
  endif()
endif()

include(CPack)
