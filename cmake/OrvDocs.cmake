# The API reference (target `docs`, not part of the default build): Doxygen over the
# installed public headers, into ${PROJECT_BINARY_DIR}/docs/html. Any Doxygen warning
# (an undocumented public member among them) fails the target; scripts/test.sh builds
# it, so CI does too. The README is a page of it too (scripts/doc-page.py gives its
# headings the anchors its links use). Without doxygen and Python 3 there is no such
# target.

find_package(Doxygen QUIET)
find_package(Python3 QUIET COMPONENTS Interpreter)
if(NOT DOXYGEN_FOUND OR NOT Python3_Interpreter_FOUND)
  message(STATUS "doxygen or python3 not found: no `docs` target")
  return()
endif()

set(ORV_DOCS_OUTPUT_DIR ${PROJECT_BINARY_DIR}/docs)
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${ORV_DOCS_OUTPUT_DIR}/Doxyfile @ONLY)
# Always run: the target is also the check that every public member is documented.
# The old tree goes first, so a page of a removed declaration cannot linger.
add_custom_target(docs
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${ORV_DOCS_OUTPUT_DIR}/html ${ORV_DOCS_OUTPUT_DIR}/pages
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ORV_DOCS_OUTPUT_DIR}/pages
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/doc-page.py
    ${PROJECT_SOURCE_DIR}/README.md ${ORV_DOCS_OUTPUT_DIR}/pages/README.md readme
  COMMAND Doxygen::doxygen ${ORV_DOCS_OUTPUT_DIR}/Doxyfile
  COMMAND ${CMAKE_COMMAND} -E echo "API reference: ${ORV_DOCS_OUTPUT_DIR}/html/index.html"
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Doxygen: API reference of the public headers"
  VERBATIM)
