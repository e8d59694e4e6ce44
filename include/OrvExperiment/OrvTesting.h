/// @file
/// Test mode, for an application's own unit tests of code that reads features.
///
/// OrvTesting::start() puts a payload in place as if a server had sent it: nothing is
/// read from or written to disk, nothing goes to the network, and the library is ready
/// when start() returns. Reads, detail reads, exposures, change listeners and overrides
/// behave as in production: an exposure still happens at most once per application,
/// bucket, experiment and group (remembered in memory until reset()), and its event is
/// captured for exposures() instead of going to the event sinks. The application's own
/// start-up code may run unchanged: OrvExperiment::startWithAppId and startWithConfig
/// are ignored while test mode is on, and fetch() succeeds without a fetch.
///
/// A typical fixture:
/// @code
///   void SetUp() override { ASSERT_TRUE(OrvTesting::start(R"({"color": "green"})")); }
///   void TearDown() override { OrvTesting::reset(); }
/// @endcode
///
/// Thread-safety: start(), setPayload() and reset() must be called while no other
/// thread uses the library (reads included): between tests, from the test's own
/// thread. The library's own threads are taken care of. exposures() and
/// clearExposures() may be called from any thread. None of them may be called from a
/// change listener or a completion listener: they wait for those to run.
///
/// Test mode cannot follow a real start in the same process (the remote-configuration
/// component keeps fetching): start() then refuses with an error line. OrvPlatform
/// settings and enableLog() are the application's and are left as they are.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "OrvExperiment/OrvExperimentConfig.h"
#include "OrvExperiment/OrvExport.h"
#include "OrvExperiment/OrvValue.h"

/// One captured exposure event.
struct OrvTestExposure {
  std::string appId;       ///< the application the exposure was for
  std::string eventName;   ///< "zu_experiment_exposure"
  OrvValue experimentId;   ///< the experiment entry's `"#experiment_id"`
  OrvValue groupId;        ///< the experiment entry's `"#experiment_group_id"`
  bool isControl = false;  ///< the experiment entry's `"#is_control_group"`
  OrvValue properties;     ///< the event's properties exactly as a sink would receive them
  /// The event's analysis context, as OrvMediatorEvent::context: the unit and, for a
  /// group placed by weights, the split and the group's intended share; absent without
  /// a bucket identifier.
  OrvValue context;
};

/// Test mode (see OrvTesting.h): static calls only.
class ORV_EXPORT OrvTesting {
 public:
  OrvTesting() = delete;

  /// The application identifier of a start without a configuration.
  static constexpr const char* kDefaultAppId = "test-app";

  /// Starts test mode with `payload` (a dictionary in the payload format, as JSON text
  /// or as a value) and `config` (null: a fresh configuration for kDefaultAppId, with
  /// automatic exposure tracking on). The configuration's server address plays no part;
  /// its bucket identifier (or fetch parameter "unit_id") is the unit that weighted
  /// `"#groups"` are resolved for, as in production; its overrides (dictionary and
  /// file), their mode and exposure tracking do. When test mode is on already, it is reset first.
  /// Returns false, with an error line, for text that is not JSON, a payload that is not a
  /// dictionary, and after a real start; the library is then left unstarted.
  /// @{
  static bool start(std::string_view payloadJson,
                    std::shared_ptr<OrvExperimentConfig> config = nullptr);
  static bool start(const OrvValue& payload, std::shared_ptr<OrvExperimentConfig> config = nullptr);
  /// @}
  /// Starts test mode with JSON text, as the std::string_view overload does.
  /// Text given as a C string or a std::string is JSON: without these, it would become a
  /// string value (OrvValue's converting constructors), which no payload is.
  /// @{
  static bool start(const char* payloadJson,
                    std::shared_ptr<OrvExperimentConfig> config = nullptr) {
    return start(std::string_view(payloadJson ? payloadJson : ""), std::move(config));
  }
  static bool start(const std::string& payloadJson,
                    std::shared_ptr<OrvExperimentConfig> config = nullptr) {
    return start(std::string_view(payloadJson), std::move(config));
  }
  /// @}

  /// Replaces the payload as a fetch that brought it would: the table is rebuilt, change
  /// listeners hear the keys that differ, and an experiment already exposed stays
  /// exposed. Returns once the new table is in place and the change listeners have run
  /// (when the library's own main queue runs them; with an executor installed through
  /// OrvPlatform::setMainQueueExecutor, once they are handed to it). False, with an error
  /// line, outside test mode and for a payload start() would refuse; the table stays.
  /// @{
  static bool setPayload(std::string_view payloadJson);
  static bool setPayload(const OrvValue& payload);
  static bool setPayload(const char* payloadJson) {
    return setPayload(std::string_view(payloadJson ? payloadJson : ""));
  }
  static bool setPayload(const std::string& payloadJson) {
    return setPayload(std::string_view(payloadJson));
  }
  /// @}

  /// The exposure events of this test mode, oldest first, once every exposure asked
  /// for before the call has been decided.
  static std::vector<OrvTestExposure> exposures();
  /// Forgets the captured events; what was exposed stays exposed.
  static void clearExposures();

  /// Back to the unstarted state: no table, not ready, no configuration, no change
  /// listener, no overrides, no exposure remembered or captured; whenReady() tasks
  /// asked for so far never hear. Waits for the library's queued work first. Does
  /// nothing outside test mode.
  static void reset();

  /// Whether test mode is on (see start() and reset()).
  static bool isActive() noexcept;
};
