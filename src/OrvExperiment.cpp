#include "OrvExperiment/OrvExperiment.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>

#include "OrvExpLog.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvExperimentTaskNotify.h"
#include "OrvExposureTracker.h"
#include "OrvFeatureManager.h"
#include "OrvMediator.h"
#include "OrvOverridesFile.h"
#include "OrvRemoteConfig.h"
#include "OrvTableWatch.h"
#include "OrvTestMode.h"
#include "platform/execution/OrvMainQueue.h"
#include "platform/execution/OrvProcessLifetime.h"
#include "platform/network/OrvSdkVersion.h"
#include "platform/storage/OrvUserDefaults.h"
#include "platform/values/OrvValueNode.h"

extern "C" {
const double OrvExperimentVersionNumber = 1.0;
const unsigned char OrvExperimentVersionString[] =
    "@(#)PROGRAM:OrvExperiment  PROJECT:OrvExperiment-" ORV_SDK_VERSION "\n";
}

namespace {

// The store and the main queue report on the library's behalf from the start: the
// database may be opened before start-up (the mediator opens it to deliver what an
// earlier run left). Both sides are constant-initialised, so the order of static
// initialisation does not matter.
const bool platformReportsToLibraryLog = [] {
  OrvUserDefaults::setLogChannel(&OrvExpLog::channel());
  OrvMainQueue::setLogChannel(&OrvExpLog::channel());
  return true;
}();

constexpr const char* kTemplateCode = OrvFeatureManager::kTemplateCode;
// The event an outcome is recorded as (OrvExperiment::track).
constexpr const char* kOutcomeEvent = "orv_outcome";

// The last start was in kLocalOnly mode: no component holds the application, so fetch()
// rebuilds from what is local instead.
std::atomic<bool> localOnlyStarted{false};

// The reload after a successful fetch, then the task's outcome. A reload that throws
// (std::bad_alloc on a huge payload) keeps the table it had and turns the outcome into
// a failure, so the task never waits for an outcome that will not come.
void reloadThenNotify(const std::shared_ptr<OrvExperimentTask>& task) {
  try {
    OrvFeatureManager::sharedInstance().parseExperimentConfig();
  } catch (const std::exception& e) {
    OrvExpLog::error("cannot load the fetched payload: %@", e.what());
    OrvNotifyTaskFailure(task, OrvRemoteConfig::kErrorResources,
                         std::string("cannot load the payload: ") + e.what());
    return;
  }
  OrvNotifyTaskSuccess(task);
}

// The one-argument number read's default, made once: values are immutable, and a new
// one per read would cost an allocation on every miss.
const OrvValue& zeroNumber() {
  static const OrvValue* zero = new OrvValue(std::int64_t{0});
  return *zero;
}

const OrvValue& emptyDictionary() {
  static const OrvValue* empty =
      new OrvValue(OrvValue::Builder::immortal(OrvValue::dictionary({})));
  return *empty;
}

// What each typed read makes of a feature's value; nullopt when it takes the default.
// Only a number is held inside its handle: returning any other value copies a handle,
// which counts a reference on the whole payload, so the readers avoid it where they can.
std::optional<std::string> asString(const OrvValue& v) {
  if (v.isAbsent()) return std::nullopt;
  return v.isString() ? v.stringValue() : v.description();
}

std::optional<OrvValue> asNumber(const OrvValue& v) {
  if (v.isNumber()) return v;
  if (!v.isString()) return std::nullopt;
  OrvValue number = OrvValue::parseDecimal(v.stringValue());
  if (number.isAbsent()) return std::nullopt;
  return number;
}

std::optional<bool> asBoolean(const OrvValue& v) {
  if (!v.isNumber()) return std::nullopt;
  return v.boolValue();
}

std::optional<OrvValue> asJson(const OrvValue& v) {
  if (!v.isDictionary()) return std::nullopt;
  return v;
}

std::optional<OrvExperimentMembership> membershipOf(const OrvFeature& feature) {
  const OrvExperimentInfo* info = feature.experimentInfo();
  if (!info) return std::nullopt;
  return OrvExperimentMembership{info->experimentId(), info->experimentGroupId(), info->isControl(),
                                 info->customBucketId()};
}

// The tracked read of `key` converted by `convert`, or `defaultValue`.
template <class T, class Convert>
T typedRead(const std::string& key, const T& defaultValue, Convert convert) {
  return OrvFeatureManager::sharedInstance().getFeature(key, [&](const OrvFeature* feature) {
    std::optional<T> converted = feature ? convert(feature->value()) : std::nullopt;
    return converted ? std::move(*converted) : defaultValue;
  });
}

}  // namespace

void OrvExperiment::startWithAppId(const std::string& appId, const std::string& serverUrl) {
  startWithConfig(OrvExperimentConfig::create(appId, serverUrl));
}

void OrvExperiment::startWithConfig(const std::shared_ptr<OrvExperimentConfig>& config) {
  if (!config) return;
  if (OrvTestMode::active()) {
    // The application's own start-up code runs unchanged under its tests: the test's
    // payload stays.
    OrvExpLog::info("test mode: start of %@ ignored, the test's payload stays", config->appId());
    return;
  }
  OrvTestMode::noteRealStart();
  localOnlyStarted.store(config->overrideMode() == OrvOverrideMode::kLocalOnly,
                         std::memory_order_release);
  if (const std::string file = config->overridesFile(); !file.empty()) {
    OrvOverridesFile::watch(file);
  } else {
    OrvOverridesFile::stop();
  }
  if (config->overrideMode() == OrvOverrideMode::kLocalOnly) {
    // Nothing remote: no component, no cache, no exposure store (an override is never an
    // experiment assignment).
    OrvExperimentQueue::sharedInstance().execute([config] {
      OrvFeatureManager::sharedInstance().setConfig(config);
      reloadThenNotify(config->startupTask());
      OrvExpLog::info(OrvExpLog::kInitSuccess, config->appId(), getSDKVersion());
    });
    return;
  }
  auto settings = OrvRemoteConfigSettings::create();
  settings->setAppId(config->appId());
  settings->setServerUrl(config->serverUrl());
  settings->setTemplateCode(kTemplateCode);
  if (OrvValue params = config->customFetchParams(); !params.isAbsent())
    settings->setFetchParams(params);
  if (OrvValue bucket = config->customBucketId(); !bucket.isAbsent())
    settings->setCustomBucketId(bucket);

  auto fetchTask = OrvRCFetchTask::create();
  fetchTask->addOnSuccessListener([config] {
    // The task is read when the job runs, not at start: a task set after start hears
    // this outcome.
    OrvExperimentQueue::sharedInstance().execute(
        [config] { reloadThenNotify(config->startupTask()); });
  });
  fetchTask->addOnFailureListener([config](std::int64_t code, const std::string& message) {
    // The task hears a failure straight away, on the main queue: its listeners may run
    // before the cached table is in place (whenReady() is the way to wait for values).
    // Readiness is decided on the work queue instead, after the cache-ready work queued
    // before it, so it fails only when there is no cached table.
    OrvNotifyTaskFailure(config->startupTask(), code, message);
    OrvExperimentQueue::sharedInstance().execute(
        [code, message] { OrvTableWatch::sharedInstance().startupFailed(code, message); });
  });
  fetchTask->addOnLocalCacheReadyListener([config] {
    OrvExperimentQueue::sharedInstance().execute([config] {
      const std::string appId = config->appId();
      auto& manager = OrvFeatureManager::sharedInstance();
      manager.setConfig(config);
      // The table before the exposure store: a read needs only the table, so the first
      // read of a process does not wait for the store's database to open. Nothing of an
      // exposure is lost or reordered by it: while this job runs the queue is not idle,
      // so every read made meanwhile queues its request (no fast path), and those
      // requests run after this job, against the store opened below and its new
      // generation (what a table carried over from another application knew is stale).
      try {
        manager.parseExperimentConfig();
        OrvExpLog::info(OrvExpLog::kInitSuccess, appId, getSDKVersion());
      } catch (const std::exception& e) {
        // The table stays as it was; the fetch that follows may still bring one.
        OrvExpLog::error("cannot load the cached payload: %@", e.what());
      }
      OrvExperimentStorage::initWithAppId(appId);
    });
  });
  settings->setFetchTask(fetchTask);
  settings->setRequestHeaders(config->requestHeaders());
  settings->setConnectTimeoutMs(static_cast<long>(config->connectTimeout().count()));
  settings->setTotalTimeoutMs(static_cast<long>(config->requestTimeout().count()));
  if (const auto interval = config->refreshInterval(); interval.count() > 0) {
    settings->setRefreshIntervalMs(
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(interval).count()));
    // A refresh reloads like a fetch (change listeners and readiness hear of it); it
    // reports to no task.
    settings->setRefreshListener([](bool success, std::int64_t, const std::string&) {
      if (success) OrvExperimentQueue::sharedInstance().execute([] { reloadThenNotify(nullptr); });
    });
  }
  OrvRemoteConfig::startWithSettings(settings);
}

void OrvExperiment::setCustomFetchParams(const OrvValue& params) {
  OrvRemoteConfig::setCustomFetchParams(params, "", kTemplateCode);
  OrvFeatureManager::sharedInstance().setFetchParams(params);
}

OrvTrackResult OrvExperiment::track(const std::string& name, double value) {
  const bool validName =
      !name.empty() && name.size() <= 128 && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == ':' ||
               c == '-';
      });
  if (!validName) {
    OrvExpLog::error(OrvExpLog::kOutcomeBadName, OrvValue(name).toJson());
    return OrvTrackResult::kInvalidName;
  }
  if (!std::isfinite(value)) {
    OrvExpLog::error(OrvExpLog::kOutcomeBadValue, name);
    return OrvTrackResult::kInvalidValue;
  }
  auto& manager = OrvFeatureManager::sharedInstance();
  const std::shared_ptr<OrvExperimentConfig> config = manager.config();
  if (!config) {
    OrvExpLog::error(OrvExpLog::kConfigNil);
    return OrvTrackResult::kNotStarted;
  }
  const std::string unit = manager.unit(*config);
  if (unit.empty()) {
    OrvExpLog::error(OrvExpLog::kOutcomeNoUnit, name);
    return OrvTrackResult::kNoUnit;
  }
  OrvOutboxEvent event;
  event.name = kOutcomeEvent;
  event.appId = config->appId();
  event.properties =
      OrvValue::dictionary({{"#outcome", OrvValue(name)}, {"#value", OrvValue(value)}});
  event.context = OrvValue::dictionary({{"unit", OrvValue(unit)}});
  if (OrvExperimentStorage::captureIfMemoryOnly(event)) return OrvTrackResult::kStored;
  OrvMediator::sharedInstance()->orvAnalyticsTrackEvent(event.name, event.properties, event.appId,
                                                        event.context);
  return OrvTrackResult::kStored;
}

void OrvExperiment::setCustomBucketId(const OrvValue& bucketId) {
  OrvRemoteConfig::setCustomBucketId(bucketId, "", kTemplateCode);
  OrvFeatureManager::sharedInstance().setBucketId(bucketId);
}

std::string OrvExperiment::getValueAsString(const std::string& key) {
  return getValueAsString(key, "");
}

std::string OrvExperiment::getValueAsString(const std::string& key,
                                            const std::string& defaultValue) {
  return typedRead(key, defaultValue, asString);
}

OrvValue OrvExperiment::getValueAsNumber(const std::string& key) {
  return getValueAsNumber(key, zeroNumber());
}

OrvValue OrvExperiment::getValueAsNumber(const std::string& key, const OrvValue& defaultValue) {
  return typedRead(key, defaultValue, asNumber);
}

bool OrvExperiment::getValueAsBoolean(const std::string& key) {
  return getValueAsBoolean(key, false);
}

bool OrvExperiment::getValueAsBoolean(const std::string& key, bool defaultValue) {
  return typedRead(key, defaultValue, asBoolean);
}

OrvValue OrvExperiment::getValueAsJson(const std::string& key) {
  return getValueAsJson(key, emptyDictionary());
}

OrvValue OrvExperiment::getValueAsJson(const std::string& key, const OrvValue& defaultValue) {
  return typedRead(key, defaultValue, asJson);
}

std::shared_ptr<OrvExperimentTask> OrvExperiment::fetch() {
  auto task = OrvCreateLibraryTask();
  if (OrvTestMode::active() || localOnlyStarted.load(std::memory_order_acquire)) {
    // Nothing to fetch: the table is rebuilt from what is local (the test's payload, the
    // overrides) so the task still hears an outcome, in order with other loads.
    OrvExperimentQueue::sharedInstance().execute([task] {
      if (OrvTestMode::active()) {
        OrvNotifyTaskSuccess(task);
      } else {
        OrvOverridesFile::rereadNow();
        reloadThenNotify(task);
      }
    });
    return task;
  }
  auto fetchTask = OrvRemoteConfig::fetchWithAppId("", kTemplateCode);
  if (!fetchTask) return task;
  fetchTask->addOnSuccessListener(
      [task] { OrvExperimentQueue::sharedInstance().execute([task] { reloadThenNotify(task); }); });
  fetchTask->addOnFailureListener([task](std::int64_t code, const std::string& message) {
    OrvNotifyTaskFailure(task, code, message);
  });
  return task;
}

void OrvExperiment::exposure(const std::string& key) {
  OrvExposureTracker::sharedInstance().exposure(key);
}

void OrvExperiment::enableLog(bool enable) {
  OrvRemoteConfig::enableLog(enable);
  OrvExpLog::setEnableLog(enable);
  OrvMediator::enableLog(enable);
}

namespace {

// A detail read: the tracked lookup of the typed reads, then `convert` (empty optional
// for a value this kind of read does not take).
template <class T, class Convert>
OrvEvaluationDetail<T> detailRead(const std::string& key, T defaultValue, Convert&& convert) {
  OrvEvaluationDetail<T> detail;
  detail.value = std::move(defaultValue);
  OrvValue value;
  OrvValueSource source = OrvValueSource::kDefault;
  bool found = false;
  bool ready = false;
  OrvFeatureManager::sharedInstance().getFeatureWithSource(
      key, [&](const OrvFeature* feature, OrvValueSource tableSource, bool tableReady) {
        ready = tableReady;
        if (!feature) return;
        found = true;
        value = feature->value();
        source = feature->isOverride() ? OrvValueSource::kOverride : tableSource;
        detail.experiment = membershipOf(*feature);
      });
  if (!found) {
    detail.reason = ready ? OrvEvaluationReason::kMissingKey : OrvEvaluationReason::kNotReady;
    return detail;
  }
  std::optional<T> converted = convert(value);
  if (!converted) {
    detail.reason = OrvEvaluationReason::kWrongType;
    return detail;
  }
  detail.value = std::move(*converted);
  detail.source = source;
  detail.reason = OrvEvaluationReason::kFound;
  return detail;
}

}  // namespace

OrvEvaluationDetail<std::string> OrvExperiment::getStringDetail(const std::string& key,
                                                                const std::string& defaultValue) {
  return detailRead<std::string>(key, defaultValue, asString);
}

OrvEvaluationDetail<OrvValue> OrvExperiment::getNumberDetail(const std::string& key) {
  return getNumberDetail(key, zeroNumber());
}

OrvEvaluationDetail<OrvValue> OrvExperiment::getNumberDetail(const std::string& key,
                                                             const OrvValue& defaultValue) {
  return detailRead<OrvValue>(key, defaultValue, asNumber);
}

OrvEvaluationDetail<bool> OrvExperiment::getBooleanDetail(const std::string& key,
                                                          bool defaultValue) {
  return detailRead<bool>(key, defaultValue, asBoolean);
}

OrvEvaluationDetail<OrvValue> OrvExperiment::getJsonDetail(const std::string& key) {
  return getJsonDetail(key, emptyDictionary());
}

OrvEvaluationDetail<OrvValue> OrvExperiment::getJsonDetail(const std::string& key,
                                                           const OrvValue& defaultValue) {
  return detailRead<OrvValue>(key, defaultValue, asJson);
}

std::vector<std::string> OrvExperiment::getKeys() {
  return OrvFeatureManager::sharedInstance().visitTable(
      [](const OrvFeatureTable* table, OrvValueSource) {
        std::vector<std::string> keys;
        if (!table) return keys;
        keys.reserve(table->size());
        for (const OrvFeature& feature : *table) keys.push_back(feature.key());
        return keys;
      });
}

std::vector<OrvFeatureEntry> OrvExperiment::getSnapshot() {
  return OrvFeatureManager::sharedInstance().visitTable([](const OrvFeatureTable* table,
                                                           OrvValueSource source) {
    std::vector<OrvFeatureEntry> entries;
    if (!table) return entries;
    entries.reserve(table->size());
    for (const OrvFeature& feature : *table) {
      entries.push_back(OrvFeatureEntry{feature.key(), feature.value(),
                                        feature.isOverride() ? OrvValueSource::kOverride : source,
                                        membershipOf(feature)});
    }
    return entries;
  });
}

bool OrvExperiment::isReady() { return OrvTableWatch::sharedInstance().isReady(); }

std::shared_ptr<OrvExperimentTask> OrvExperiment::whenReady() {
  return OrvTableWatch::sharedInstance().whenReady();
}

std::uint64_t OrvExperiment::addChangeListener(ChangeListener listener) {
  return OrvTableWatch::sharedInstance().addChangeListener(std::move(listener));
}

void OrvExperiment::removeChangeListener(std::uint64_t id) {
  OrvTableWatch::sharedInstance().removeChangeListener(id);
}

bool OrvExperiment::flush(std::chrono::milliseconds timeout) {
  auto& queue = OrvExperimentQueue::sharedInstance();
  // Sinks run on the work queue: waiting there for the queue would wait for ourselves.
  if (queue.serialQueue().isCurrentThread() || OrvProcessLifetime::exiting()) return false;
  // Exposure work runs in queue order, so once a job queued now has run, every
  // exposure requested earlier has been recorded and handed over.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (!queue.drain(deadline)) return false;
  // Exposures the store could not check yet (another process holds the database) are
  // decided in the background, and then delivered. The queue's own delivery may have
  // left its events to a delivery under way on another thread: they are handed over
  // once that one ends. Then whatever went to an OTLP exporter, until the collector has it.
  if (!OrvExperimentStorage::waitUntilChecked(deadline)) return false;
  if (!OrvMediator::sharedInstance()->waitForDelivery(deadline)) return false;
  return OrvMediator::sharedInstance()->flushExporters(
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                            std::chrono::steady_clock::now()));
}

const std::string& OrvExperiment::getSDKVersion() {
  static const std::string* version = new std::string(kOrvSdkVersion);
  return *version;
}
