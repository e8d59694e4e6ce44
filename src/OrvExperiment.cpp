#include "OrvExperiment/OrvExperiment.h"

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
#include "OrvRemoteConfig.h"
#include "OrvTableWatch.h"
#include "platform/OrvMainQueue.h"
#include "platform/OrvProcessLifetime.h"
#include "platform/OrvSdkVersion.h"
#include "platform/OrvUserDefaults.h"
#include "platform/OrvValueNode.h"

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

// The tracked read of `key` converted by `convert`, or `defaultValue`.
template <class T, class Convert>
T typedRead(const std::string& key, const T& defaultValue, Convert convert) {
  return OrvFeatureManager::sharedInstance().visitFeature(key, [&](const OrvFeature* feature) {
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
    OrvNotifyTaskFailure(config->startupTask(), code, message);
    // Readiness fails only if no cached table is in place; the cache-ready work queued
    // before this failure decides that, so the verdict is queued behind it.
    OrvExperimentQueue::sharedInstance().execute(
        [code, message] { OrvTableWatch::sharedInstance().startupFailed(code, message); });
  });
  fetchTask->addOnLocalCacheReadyListener([config] {
    OrvExperimentQueue::sharedInstance().execute([config] {
      const std::string appId = config->appId();
      OrvExperimentStorage::initWithAppId(appId);
      auto& manager = OrvFeatureManager::sharedInstance();
      manager.setConfig(config);
      try {
        manager.parseExperimentConfig();
      } catch (const std::exception& e) {
        // The table stays as it was; the fetch that follows may still bring one.
        OrvExpLog::error("cannot load the cached payload: %@", e.what());
        return;
      }
      OrvExpLog::info(OrvExpLog::kInitSuccess, appId, getSDKVersion());
    });
  });
  settings->setFetchTask(fetchTask);
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
}

void OrvExperiment::setCustomBucketId(const OrvValue& bucketId) {
  OrvRemoteConfig::setCustomBucketId(bucketId, "", kTemplateCode);
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
  OrvFeatureManager::sharedInstance().visitFeatureWithSource(
      key, [&](const OrvFeature* feature, OrvValueSource tableSource, bool tableReady) {
        ready = tableReady;
        if (!feature) return;
        found = true;
        value = feature->value();
        source = tableSource;
        if (const auto& info = feature->experimentInfo()) {
          detail.experiment =
              OrvExperimentMembership{info->experimentId(), info->experimentGroupId(),
                                      info->isControl(), info->customBucketId()};
        }
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
  struct Marker {
    std::mutex mutex;
    std::condition_variable reached;
    bool done = false;  // guarded by mutex
  };
  auto marker = std::make_shared<Marker>();
  queue.execute([marker] {
    std::lock_guard lock(marker->mutex);
    marker->done = true;
    marker->reached.notify_all();
  });
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  {
    std::unique_lock lock(marker->mutex);
    if (!marker->reached.wait_until(lock, deadline, [&] { return marker->done; })) return false;
  }
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
