# What an operator installs: the programs (installed where they are built), the manual pages, the
# license, and the packages that carry them. `cmake --install build` installs; `cpack` in a build
# directory makes a .deb on Linux and a .zip of the Windows build, in its packages/ directory.

# Whatever the umask of the machine that builds, what is installed is readable by everyone: a
# package made under umask 077 would otherwise carry directories only root may enter.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(BRELWICK_FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# ---- The manual pages: brelwick(1), and unit-sim(1) where unit-sim is built ----
set(BRELWICK_MAN_PAGE ${CMAKE_CURRENT_SOURCE_DIR}/docs/brelwick.1)
set(BRELWICK_GZIP_FOUND FALSE)
if(NOT WIN32)
  find_program(BRELWICK_GZIP gzip)
  if(BRELWICK_GZIP)
    set(BRELWICK_GZIP_FOUND TRUE)
  endif()
endif()

# Debian keeps manual pages and changelogs gzipped; -9n is its way: the most compression, and no
# name or time inside, so that equal files pack equally. Without gzip the file goes in as it is.
function(brelwick_install_gzipped source name destination)
  if(BRELWICK_GZIP_FOUND)
    set(copy ${CMAKE_CURRENT_BINARY_DIR}/gz/${destination}/${name})
    add_custom_command(OUTPUT ${copy}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
      COMMAND ${BRELWICK_GZIP} -9nf ${copy}
      DEPENDS ${source}
      COMMENT "Compressing ${name}"
      VERBATIM)
    string(MAKE_C_IDENTIFIER "brelwick_gz_${destination}_${name}" target)
    add_custom_target(${target} ALL DEPENDS ${copy}.gz)
    install(FILES ${copy}.gz DESTINATION ${destination} PERMISSIONS ${BRELWICK_FILE_PERMISSIONS})
  else()
    install(FILES ${source} DESTINATION ${destination} RENAME ${name}
            PERMISSIONS ${BRELWICK_FILE_PERMISSIONS})
  endif()
endfunction()

if(WIN32)
  # Windows has no man: its zip carries the page as plain text, when the build machine has groff,
  # the README and the license, as text files Windows opens.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION .)
  # The pages README links to, where its links find them: every message with what to do, the
  # speed of the line, and (linked from the speed page) the design.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/docs/troubleshooting.md
                ${CMAKE_CURRENT_SOURCE_DIR}/docs/speed.md
                ${CMAKE_CURRENT_SOURCE_DIR}/docs/design.md
          DESTINATION docs)
  # README's picture of the program in a window of its own, where README's link finds it.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/docs/images/windows-explorer-run.png
          DESTINATION docs/images)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
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
  set(man1 ${CMAKE_INSTALL_MANDIR}/man1)
  brelwick_install_gzipped(${BRELWICK_MAN_PAGE} brelwick.1 ${man1})
  brelwick_install_gzipped(${CMAKE_CURRENT_SOURCE_DIR}/docs/unit-sim.1 unit-sim.1 ${man1})

  # ---- What Debian asks of every package in its doc directory ----
  set(BRELWICK_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/brelwick)
  # The license in Debian's machine-readable copyright format, made from LICENSE itself so that
  # the two cannot differ: its text, less the title and the copyright line, as the License field's
  # continuation lines (a blank line is written " .").
  file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE license)
  string(REGEX REPLACE "^MIT License\n\nCopyright \\(c\\) ([^\n]*)\n\n" "" license_text "${license}")
  if(license_text STREQUAL license)
    message(FATAL_ERROR "LICENSE does not begin with its title and copyright line")
  endif()
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" ignored "${license}")
  set(BRELWICK_COPYRIGHT_HOLDERS "${CMAKE_MATCH_1}")
  string(STRIP "${license_text}" license_text)
  string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
  string(REPLACE "\n" "\n " license_text "${license_text}")
  set(BRELWICK_COPYRIGHT ${CMAKE_CURRENT_BINARY_DIR}/copyright)
  file(WRITE ${BRELWICK_COPYRIGHT}.new
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: brelwick

Files: *
Copyright: ${BRELWICK_COPYRIGHT_HOLDERS}
License: Expat
 ${license_text}
")
  configure_file(${BRELWICK_COPYRIGHT}.new ${BRELWICK_COPYRIGHT} COPYONLY)
  install(FILES ${BRELWICK_COPYRIGHT} DESTINATION ${BRELWICK_DOC_DIR}
          PERMISSIONS ${BRELWICK_FILE_PERMISSIONS})

  # The changelog of this native package. Its newest entry must be the version being built, or
  # the package would say one version and its changelog another.
  set(BRELWICK_CHANGELOG ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian/changelog)
  file(STRINGS ${BRELWICK_CHANGELOG} newest LIMIT_COUNT 1)
  if(NOT newest MATCHES "^brelwick \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "cmake/debian/changelog's newest entry is not ${PROJECT_VERSION}: ${newest}")
  endif()
  brelwick_install_gzipped(${BRELWICK_CHANGELOG} changelog ${BRELWICK_DOC_DIR})
  # The operator's pages: README, every message with what to do, and what the line's speed depends
  # on. Gzipped as Debian keeps its documentation; zless and zcat read them.
  brelwick_install_gzipped(${CMAKE_CURRENT_SOURCE_DIR}/README.md README.md ${BRELWICK_DOC_DIR})
  brelwick_install_gzipped(${CMAKE_CURRENT_SOURCE_DIR}/docs/troubleshooting.md troubleshooting.md
                           ${BRELWICK_DOC_DIR})
  brelwick_install_gzipped(${CMAKE_CURRENT_SOURCE_DIR}/docs/speed.md speed.md ${BRELWICK_DOC_DIR})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE ${BRELWICK_CHANGELOG})
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
  # A cross build's package is for its target (cmake/linux-cross.cmake names it), not for the
  # machine that builds it.
  if(CMAKE_CROSSCOMPILING AND BRELWICK_DEBIAN_ARCH)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${BRELWICK_DEBIAN_ARCH})
    set(CPACK_BRELWICK_CROSS_LIBDIR ${BRELWICK_CROSS_SYSROOT}/lib)
    set(CPACK_BRELWICK_CROSS_BINARIES ${CMAKE_BINARY_DIR}/brelwick ${CMAKE_BINARY_DIR}/unit-sim)
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cmake/CrossDebDepends.cmake)
  endif()

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
