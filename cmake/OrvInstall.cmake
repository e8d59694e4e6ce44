# Install rules: headers, the static and (when built) the shared library, the CMake
# package, the pkg-config file, and the Debian package built from them by CPack.

set(ORV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/OrvExperiment)

install(DIRECTORY include/OrvExperiment DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY external/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(FILES LICENSE CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Each library form has an export set of its own; the package config picks one.
install(TARGETS OrvExperiment EXPORT OrvExperimentStaticTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT OrvExperimentStaticTargets NAMESPACE OrvExperiment:: DESTINATION ${ORV_CMAKE_DIR})
if(TARGET OrvExperimentShared)
  install(TARGETS OrvExperimentShared EXPORT OrvExperimentSharedTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT OrvExperimentSharedTargets NAMESPACE OrvExperiment:: DESTINATION ${ORV_CMAKE_DIR})
endif()

# The Python package (pure Python over the shared library), where Debian's python3 finds
# it: PREFIX/lib/python3/dist-packages. It loads the library by the soname it names,
# which must be the one built here.
if(TARGET OrvExperimentShared)
  file(STRINGS python/orvexperiment/_library.py _orv_py_soname REGEX "^SONAME = ")
  if(NOT _orv_py_soname STREQUAL "SONAME = \"libOrvExperiment.so.${PROJECT_VERSION_MAJOR}\"")
    message(FATAL_ERROR "python/orvexperiment/_library.py: SONAME must be "
      "libOrvExperiment.so.${PROJECT_VERSION_MAJOR}, found ${_orv_py_soname}")
  endif()
  set(ORV_PYTHON_INSTALL_DIR lib/python3/dist-packages CACHE STRING
    "Where the Python package is installed, under the prefix unless absolute")
  install(DIRECTORY python/orvexperiment DESTINATION ${ORV_PYTHON_INSTALL_DIR}
    FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)
endif()

configure_package_config_file(cmake/OrvExperimentConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/OrvExperimentConfig.cmake
  INSTALL_DESTINATION ${ORV_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/OrvExperimentConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/OrvExperimentConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/OrvExperimentConfigVersion.cmake
  DESTINATION ${ORV_CMAKE_DIR})

# The .pc file finds its prefix from its own location, so an installed tree can move.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ORV_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _orv_up "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
  string(REGEX REPLACE "/$" "" _orv_up "${_orv_up}")
  set(ORV_PC_PREFIX "\${pcfiledir}/${_orv_up}")
endif()
configure_file(cmake/OrvExperiment.pc.in ${CMAKE_CURRENT_BINARY_DIR}/OrvExperiment.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/OrvExperiment.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# `cpack -G DEB`: one -dev style package with everything above and the orvexp tool.
# Depends: the -dev packages that a static link and the .pc file need, and (see
# OrvDebDepends.cmake) the runtime libraries the shared library and orvexp link.
set(CPACK_PACKAGE_NAME liborvexperiment-dev)
set(CPACK_PACKAGE_VENDOR OrvExperiment)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "client-side experiment library (headers, static and shared library, orvexp tool)")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "OrvExperiment maintainers" CACHE STRING
  "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libsimdjson-dev, libcurl4-openssl-dev | libcurl-dev, libsqlite3-dev, libssl-dev, zlib1g-dev")
set(_orv_binaries $<$<TARGET_EXISTS:OrvExperimentShared>:$<TARGET_FILE:OrvExperimentShared>>
  $<$<TARGET_EXISTS:orvexp>:$<TARGET_FILE:orvexp>>)
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/OrvCPackProject.cmake CONTENT
  "set(ORV_PACKAGED_BINARIES ${_orv_binaries})\ninclude(${CMAKE_CURRENT_SOURCE_DIR}/cmake/OrvDebDepends.cmake)\n")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/OrvCPackProject.cmake)
include(CPack)
