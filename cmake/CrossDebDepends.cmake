# Run by cpack in a cross build (CPACK_PROJECT_CONFIG_FILE): the .deb's Depends for the target
# system. dpkg-shlibdeps finds the target's libraries in the cross sysroot, but Debian's cross
# packages name them as cross packages ("libc6:arm64", "libgcc-s1-arm64-cross"); on the target they
# are libc6, libgcc-s1 and libstdc++6, at the same versions.
if(NOT CPACK_GENERATOR STREQUAL "DEB" OR NOT CPACK_BRELWICK_CROSS_LIBDIR)
  return()
endif()
find_program(shlibdeps dpkg-shlibdeps)
if(NOT shlibdeps)
  message(STATUS "dpkg-shlibdeps not found (dpkg-dev): the .deb will list no dependencies")
  return()
endif()
set(work ${CPACK_TOPLEVEL_DIRECTORY}/cross-depends)
file(MAKE_DIRECTORY ${work}/debian)
file(WRITE ${work}/debian/control "Source: brelwick\n\nPackage: brelwick\nArchitecture: any\n")
execute_process(
  COMMAND ${shlibdeps} -O -l${CPACK_BRELWICK_CROSS_LIBDIR} ${CPACK_BRELWICK_CROSS_BINARIES}
  WORKING_DIRECTORY ${work}
  OUTPUT_VARIABLE said ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT said MATCHES "shlibs:Depends=([^\n]*)")
  message(FATAL_ERROR "dpkg-shlibdeps could not name the target's libraries: ${errors}")
endif()
set(depends "${CMAKE_MATCH_1}")
string(REGEX REPLACE "(:${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}|-${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}-cross)" ""
       depends "${depends}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${depends}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
