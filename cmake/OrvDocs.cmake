# The API reference (target `docs`, not part of the default build): Doxygen over the
# installed public headers, into ${PROJECT_BINARY_DIR}/docs/html. Any Doxygen warning
# (an undocumented public member among them) fails the target; scripts/test.sh builds
# it, so CI does too. The README and every guide under docs/ (each *.md named in lower
# case but mainpage.md, which is the main page) are pages of it too: scripts/doc-page.py
# gives their headings the anchors their links use and turns links between them into
# @ref, each page labelled `readme` or the guide's file name. The upper-case documents
# (docs/ARCHITECTURE.md, docs/SECURITY.md) are for the repository and are not pages.
# Without doxygen and Python 3 there is no such target.

find_package(Doxygen QUIET)
find_package(Python3 QUIET COMPONENTS Interpreter)
if(NOT DOXYGEN_FOUND OR NOT Python3_Interpreter_FOUND)
  message(STATUS "doxygen or python3 not found: no `docs` target")
  return()
endif()

set(ORV_DOCS_OUTPUT_DIR ${PROJECT_BINARY_DIR}/docs)
# One doc-page.py command per guide; a guide added later is picked up at the next
# configure (CONFIGURE_DEPENDS).
file(GLOB ORV_DOCS_GUIDES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
set(ORV_DOCS_GUIDE_PAGES)
foreach(guide IN LISTS ORV_DOCS_GUIDES)
  get_filename_component(name ${guide} NAME_WE)
  string(TOLOWER ${name} lower)
  if(NOT name STREQUAL lower OR name STREQUAL "mainpage")
    continue()
  endif()
  list(APPEND ORV_DOCS_GUIDE_PAGES
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/doc-page.py
      ${guide} ${ORV_DOCS_OUTPUT_DIR}/pages/${name}.md ${name})
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${ORV_DOCS_OUTPUT_DIR}/Doxyfile @ONLY)
# Always run: the target is also the check that every public member is documented.
# The old tree goes first, so a page of a removed declaration cannot linger.
add_custom_target(docs
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${ORV_DOCS_OUTPUT_DIR}/html ${ORV_DOCS_OUTPUT_DIR}/pages
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ORV_DOCS_OUTPUT_DIR}/pages
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/doc-page.py
    ${PROJECT_SOURCE_DIR}/README.md ${ORV_DOCS_OUTPUT_DIR}/pages/README.md readme
  ${ORV_DOCS_GUIDE_PAGES}
  COMMAND Doxygen::doxygen ${ORV_DOCS_OUTPUT_DIR}/Doxyfile
  COMMAND ${CMAKE_COMMAND} -E echo "API reference: ${ORV_DOCS_OUTPUT_DIR}/html/index.html"
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  COMMENT "Doxygen: API reference of the public headers"
  VERBATIM)
