/// @file
/// OrvExperiment: the library's public entry point. Start it once with an application
/// identifier and a config-server address (or a full OrvExperimentConfig), then read
/// feature values by key.
///
/// Every call runs on the caller's thread, never waits for the network, the disk or a
/// queue (flush() excepted), never throws, and may be made from any thread at any time, before or
/// after start-up. Reads answer their default until the first payload is loaded (from the cache as
/// soon as it can be read, then after every successful fetch). A read of a feature that belongs to
/// an experiment, with automatic exposure tracking on (the default), reports one exposure event per
/// application, bucket, experiment and group, remembered across launches. Completion listeners run
/// on the main queue (see OrvPlatform).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "OrvExperiment/OrvEvaluationDetail.h"
#include "OrvExperiment/OrvExperimentConfig.h"
#include "OrvExperiment/OrvExperimentTask.h"
#include "OrvExperiment/OrvExport.h"
#include "OrvExperiment/OrvValue.h"

/// What OrvExperiment::track() did with an outcome.
enum class OrvTrackResult {
  kStored,        ///< stored in the outbox (in test mode: captured) for the sinks and exporters
  kInvalidName,   ///< the name is empty, longer than 128 bytes, or not of [A-Za-z0-9_.:-]
  kInvalidValue,  ///< the value is not finite
  kNotStarted,    ///< no application has been started
  kNoUnit,        ///< no bucket identifier (nor fetch parameter "unit_id") names a unit
};

/// The library's public entry point (see OrvExperiment.h): static calls only.
class ORV_EXPORT OrvExperiment {
 public:
  OrvExperiment() = delete;

  /// Starts with automatic exposure tracking on and nothing else set.
  static void startWithAppId(const std::string& appId, const std::string& serverUrl);
  /// A null configuration is ignored. The configuration is shared, not copied: later
  /// changes to automaticExposureTracking and startupTask take effect (see
  /// OrvExperimentConfig). A second start is not refused; it moves the library to the
  /// new configuration once its cache is ready.
  static void startWithConfig(const std::shared_ptr<OrvExperimentConfig>& config);

  /// Used by later fetches (in the request body); nothing is fetched now.
  /// @{
  static void setCustomFetchParams(const OrvValue& params);
  static void setCustomBucketId(const OrvValue& bucketId);
  /// @}

  /// A string value as itself; any other value as its text form (OrvValue::description).
  /// @{
  static std::string getValueAsString(const std::string& key);
  static std::string getValueAsString(const std::string& key, const std::string& defaultValue);
  /// @}
  /// A number (booleans included) as itself; a string read as a decimal number
  /// (OrvValue::parseDecimal: "3.50" gives the decimal 3.5, "42" gives 42); the default
  /// for every other value and for a string that holds no number. One-argument default:
  /// the integer 0.
  /// @{
  static OrvValue getValueAsNumber(const std::string& key);
  static OrvValue getValueAsNumber(const std::string& key, const OrvValue& defaultValue);
  /// @}
  /// A number's truth (non-zero is true); the default for every other value, strings
  /// such as "true" included.
  /// @{
  static bool getValueAsBoolean(const std::string& key);
  static bool getValueAsBoolean(const std::string& key, bool defaultValue);
  /// @}
  /// A dictionary as itself; the default for every other value. One-argument default:
  /// an empty dictionary.
  /// @{
  static OrvValue getValueAsJson(const std::string& key);
  static OrvValue getValueAsJson(const std::string& key, const OrvValue& defaultValue);
  /// @}

  /// The same reads, with where the value came from, why it is what it is, and the
  /// feature's experiment membership. Each reports an exposure exactly as the matching
  /// typed read does, and costs about as much.
  /// @{
  static OrvEvaluationDetail<std::string> getStringDetail(const std::string& key,
                                                          const std::string& defaultValue = "");
  static OrvEvaluationDetail<OrvValue> getNumberDetail(const std::string& key);
  static OrvEvaluationDetail<OrvValue> getNumberDetail(const std::string& key,
                                                       const OrvValue& defaultValue);
  static OrvEvaluationDetail<bool> getBooleanDetail(const std::string& key,
                                                    bool defaultValue = false);
  static OrvEvaluationDetail<OrvValue> getJsonDetail(const std::string& key);
  static OrvEvaluationDetail<OrvValue> getJsonDetail(const std::string& key,
                                                     const OrvValue& defaultValue);
  /// @}

  /// The keys of the current table, sorted; and the whole table as it stands, with each
  /// feature's unconverted value, source and experiment membership. For listings and
  /// debugging screens: neither reports an exposure. Empty before the first table.
  /// @{
  static std::vector<std::string> getKeys();
  static std::vector<OrvFeatureEntry> getSnapshot();
  /// @}

  /// True once a feature table from the cache or from a fetch is in place.
  static bool isReady();
  /// A task whose success listeners run once the first table is in place (at once, on
  /// the main queue, when it already is), and whose failure listeners run when start-up
  /// ended with neither a usable cache nor a successful fetch (with that fetch's code
  /// and message). With a usable cache and a failed fetch, readiness is a success. After
  /// such a failure the success listeners still run when a later fetch or refresh brings
  /// the first table.
  static std::shared_ptr<OrvExperimentTask> whenReady();

  /// After each load whose table differs from the one before (a value or an experiment
  /// membership, a key added or removed), `listener` runs on the main queue with the
  /// sorted keys that differ. Not called when a load changed nothing (a 304, the same
  /// payload again). Returns an id for removeChangeListener; 0 for an empty function.
  /// @{
  using ChangeListener = std::function<void(const std::vector<std::string>& keys)>;
  static std::uint64_t addChangeListener(ChangeListener listener);
  static void removeChangeListener(std::uint64_t id);
  /// @}

  /// Fetches now; the task hears this fetch's outcome. Success listeners run after the
  /// new features are in place.
  static std::shared_ptr<OrvExperimentTask> fetch();
  /// Reports an exposure of `key` whatever automaticExposureTracking says.
  static void exposure(const std::string& key);
  /// Records an outcome of the current unit: `name` (what happened: "purchase",
  /// "signup"; 1 to 128 bytes of letters, digits, underscores, dots, colons and
  /// hyphens) and `value`
  /// (what it was worth: an amount, a duration; 1 for a count). The unit is the one
  /// weighted groups are assigned to: the bucket identifier, else the fetch parameter
  /// "unit_id". The event ("orv_outcome", properties `"#outcome"` and `"#value"`,
  /// context `{"unit": ...}`) is stored in the data directory's outbox before this
  /// returns, with a stable eventId, and goes to the event sinks and OTLP exporters as
  /// exposures do (exactly once to a collector that keys on eventId); flush() waits for
  /// it. Anything but kStored also logs an error line. Thread-safe; it waits for the
  /// database write (no network).
  static OrvTrackResult track(const std::string& name, double value = 1.0);
  /// Switches the library's, the remote-configuration component's and the mediator's
  /// log lines.
  static void enableLog(bool enable);

  /// Waits until every exposure requested before this call has been recorded and
  /// handed to the event sinks (or, with no sink registered yet, stored in the event
  /// outbox for the first one), and an OTLP exporter has delivered them, or until
  /// `timeout` passes. Returns true when that point was reached.
  /// For short-lived programs (command-line tools, tests, batch jobs) to call before
  /// they exit: exit drops exposure work still queued. The one call that waits; never
  /// call it from an event sink (it returns false at once there) and mind that a
  /// completion listener calling it holds up other listeners for as long as it waits.
  /// After exit has begun it returns false at once.
  static bool flush(std::chrono::milliseconds timeout);
  /// The SDK version that config servers and collectors are told.
  /// "1.0.2"; the same string object on every call.
  static const std::string& getSDKVersion();
};

extern "C" {
/// The SDK version as a number (see OrvExperiment::getSDKVersion()).
/// 1.0
ORV_EXPORT extern const double OrvExperimentVersionNumber;
/// The SDK version as a what(1) identification string.
/// `"@(#)PROGRAM:OrvExperiment  PROJECT:OrvExperiment-1.0.2\n"`
ORV_EXPORT extern const unsigned char OrvExperimentVersionString[];
}
