# Read by cpack (CPACK_PROJECT_CONFIG_FILE) with ORV_PACKAGED_BINARIES set: the runtime
# libraries those binaries link, as dpkg-shlibdeps names them, join the Debian
# package's Depends. (CPack's own CPACK_DEBIAN_PACKAGE_SHLIBDEPS does the same but needs
# the `file` tool, which a build machine need not have.)
if(CPACK_GENERATOR STREQUAL "DEB" AND ORV_PACKAGED_BINARIES)
  set(_orv_dir "${CPACK_PACKAGE_DIRECTORY}/_shlibdeps")
  # dpkg-shlibdeps insists on a debian/control; an empty one will do.
  file(MAKE_DIRECTORY "${_orv_dir}/debian")
  file(TOUCH "${_orv_dir}/debian/control")
  execute_process(COMMAND dpkg-shlibdeps -O ${ORV_PACKAGED_BINARIES}
    WORKING_DIRECTORY "${_orv_dir}" OUTPUT_VARIABLE _orv_out ERROR_VARIABLE _orv_err
    RESULT_VARIABLE _orv_rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(_orv_rc OR NOT _orv_out MATCHES "^shlibs:Depends=(.+)$")
    message(FATAL_ERROR "dpkg-shlibdeps failed (${_orv_rc}): ${_orv_err}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACKAGE_DEPENDS}, ${CMAKE_MATCH_1}")
endif()
