# The libraries of orvexp below its command line, in layers (scripts/check-layers.sh):
#   orv_statistics  analysis/OrvStatistics: group comparisons from sums and the split's
#                   anytime-valid test; pure arithmetic with no dependency.
#   orv_events      payloads/, collector/ and the rest of analysis/: the payload
#                   directory, the OTLP event collector and its SQLite store, the split
#                   check and the readout. No HTTP server: usable on their own.
#   orv_config_server  server/ and report/: the reference config server (fetch, OFREP,
#                   /v1/logs, connection admission) and its report pages.
# Included by tools/orvexp and by fuzz/ (whose build has no tool), so both compile the
# same sources with the same settings; generated headers go to the includer's binary dir.
set(ORVEXP_DIR ${CMAKE_CURRENT_LIST_DIR})

add_library(orv_statistics STATIC ${ORVEXP_DIR}/analysis/OrvStatistics.cpp)
orv_target_settings(orv_statistics)
target_include_directories(orv_statistics PUBLIC ${ORVEXP_DIR})
# The simulations that check these figures call them millions of times: optimised in a
# debug build too (the others are), so that its suite does not spend its time here.
target_compile_options(orv_statistics PRIVATE $<$<CONFIG:Debug>:-O2>)

file(READ ${PROJECT_SOURCE_DIR}/docs/readout.sql ORV_READOUT_SQL)
configure_file(${ORVEXP_DIR}/collector/ReadoutSql.h.in
  ${CMAKE_CURRENT_BINARY_DIR}/generated/ReadoutSql.h @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/readout.sql)

add_library(orv_events STATIC
  ${ORVEXP_DIR}/payloads/OrvPayloadDirectory.cpp
  ${ORVEXP_DIR}/collector/OrvCarriedSplit.cpp
  ${ORVEXP_DIR}/collector/OrvEventCollector.cpp
  ${ORVEXP_DIR}/collector/OrvEventStore.cpp
  ${ORVEXP_DIR}/collector/OrvEventStoreQueries.cpp
  ${ORVEXP_DIR}/collector/OrvEventStoreReadout.cpp
  ${ORVEXP_DIR}/analysis/OrvReadout.cpp
  ${ORVEXP_DIR}/analysis/OrvSrm.cpp)
orv_target_settings(orv_events)
target_include_directories(orv_events PUBLIC ${ORVEXP_DIR}
  PRIVATE ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_BINARY_DIR}/generated)
target_link_libraries(orv_events PUBLIC OrvExperiment orv_statistics PRIVATE SQLite::SQLite3)
# The split check's p-values, like the statistics, are simulated millions of times.
set_source_files_properties(${ORVEXP_DIR}/analysis/OrvSrm.cpp PROPERTIES
  COMPILE_OPTIONS $<$<CONFIG:Debug>:-O2>)

add_library(orv_config_server STATIC
  ${ORVEXP_DIR}/server/OrvConfigServer.cpp
  ${ORVEXP_DIR}/server/OrvConnections.cpp
  ${ORVEXP_DIR}/server/OrvOfrep.cpp
  ${ORVEXP_DIR}/report/OrvReportHtml.cpp
  ${ORVEXP_DIR}/report/OrvReportPage.cpp)
orv_target_settings(orv_config_server)
target_include_directories(orv_config_server PUBLIC ${ORVEXP_DIR} PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(orv_config_server PUBLIC orv_events PRIVATE PkgConfig::HTTPLIB)
