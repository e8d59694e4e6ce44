#include "OrvExperiment/OrvTesting.h"

#include <atomic>
#include <chrono>

#include "OrvExpLog.h"
#include "OrvExperimentQueue.h"
#include "OrvExperimentStorage.h"
#include "OrvFeatureManager.h"
#include "OrvOverridesFile.h"
#include "OrvTableWatch.h"
#include "OrvTestMode.h"
#include "platform/execution/OrvMainQueue.h"

namespace {

std::atomic<bool> testActive{false};
std::atomic<bool> realStarted{false};

// Far beyond what the library's queues need between two tests, even on a loaded
// machine: reached only when a listener or sink of the application never returns.
constexpr std::chrono::seconds kQueueWait{30};

// Waits for the work queue, then for the main queue it may have handed listeners to.
bool settle(const char* call) {
  const auto deadline = std::chrono::steady_clock::now() + kQueueWait;
  if (!OrvExperimentQueue::sharedInstance().drain(deadline)) {
    OrvExpLog::error("%@: the library's work queue did not empty within %@ s", call,
                     static_cast<std::int64_t>(kQueueWait.count()));
    return false;
  }
  // False also with an application executor or on the main queue, where there is
  // nothing this thread can wait for.
  OrvMainQueue::drain(deadline);
  return true;
}

bool usable(const OrvValue& payload, const char* call) {
  if (payload.isDictionary()) return true;
  OrvExpLog::error("%@: the payload must be a JSON object", call);
  return false;
}

bool parsed(std::string_view json, const char* call, OrvValue* payload) {
  OrvValue::ParseResult result = OrvValue::parseJson(json);
  if (!result.ok()) {
    OrvExpLog::error("%@: the payload is not JSON: %@", call, result.error);
    return false;
  }
  *payload = std::move(result.value);
  return usable(*payload, call);
}

}  // namespace

bool OrvTestMode::active() noexcept { return testActive.load(std::memory_order_acquire); }

void OrvTestMode::noteRealStart() { realStarted.store(true, std::memory_order_release); }

bool OrvTesting::isActive() noexcept { return OrvTestMode::active(); }

bool OrvTesting::start(std::string_view payloadJson, std::shared_ptr<OrvExperimentConfig> config) {
  reset();
  OrvValue payload;
  if (!parsed(payloadJson, "OrvTesting::start", &payload)) return false;
  return start(payload, std::move(config));
}

bool OrvTesting::start(const OrvValue& payload, std::shared_ptr<OrvExperimentConfig> config) {
  reset();
  if (realStarted.load(std::memory_order_acquire)) {
    OrvExpLog::error(
        "OrvTesting::start: the library was started for real in this process; test mode "
        "refused");
    return false;
  }
  if (!usable(payload, "OrvTesting::start")) return false;
  if (!config) config = OrvExperimentConfig::create(kDefaultAppId, "");
  OrvExperimentStorage::setMemoryOnly(true);
  testActive.store(true, std::memory_order_release);
  if (const std::string file = config->overridesFile(); !file.empty())
    OrvOverridesFile::watch(file);
  OrvExperimentQueue::sharedInstance().execute([config, payload] {
    OrvExperimentStorage::initWithAppId(config->appId());
    auto& manager = OrvFeatureManager::sharedInstance();
    manager.setConfig(config);
    manager.loadPayload(payload, OrvValueSource::kNetwork);
  });
  return settle("OrvTesting::start");
}

bool OrvTesting::setPayload(std::string_view payloadJson) {
  OrvValue payload;
  if (!parsed(payloadJson, "OrvTesting::setPayload", &payload)) return false;
  return setPayload(payload);
}

bool OrvTesting::setPayload(const OrvValue& payload) {
  if (!OrvTestMode::active()) {
    OrvExpLog::error("OrvTesting::setPayload: test mode is not on (OrvTesting::start)");
    return false;
  }
  if (!usable(payload, "OrvTesting::setPayload")) return false;
  OrvExperimentQueue::sharedInstance().execute([payload] {
    OrvFeatureManager::sharedInstance().loadPayload(payload, OrvValueSource::kNetwork);
  });
  return settle("OrvTesting::setPayload");
}

std::vector<OrvTestExposure> OrvTesting::exposures() {
  settle("OrvTesting::exposures");
  std::vector<OrvTestExposure> exposures;
  for (OrvOutboxEvent& event : OrvExperimentStorage::capturedEvents()) {
    OrvTestExposure& exposure = exposures.emplace_back();
    exposure.appId = std::move(event.appId);
    exposure.eventName = std::move(event.name);
    exposure.experimentId = event.properties["#experiment_id"];
    exposure.groupId = event.properties["#experiment_group_id"];
    exposure.isControl = event.properties["#is_control_group"].boolValue();
    exposure.properties = std::move(event.properties);
    exposure.context = std::move(event.context);
  }
  return exposures;
}

void OrvTesting::clearExposures() {
  // Exposures asked for before the call are forgotten too, not captured after it.
  settle("OrvTesting::clearExposures");
  OrvExperimentStorage::clearCapturedEvents();
}

void OrvTesting::reset() {
  if (!OrvTestMode::active()) return;
  // The watch first: a change it saw is then dropped when its job runs, not applied
  // after the reset.
  OrvOverridesFile::stop();
  settle("OrvTesting::reset");
  OrvFeatureManager::sharedInstance().reset();
  OrvTableWatch::sharedInstance().reset();
  OrvExperimentStorage::setMemoryOnly(false);
  testActive.store(false, std::memory_order_release);
}
