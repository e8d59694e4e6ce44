// The fixture for tests of the whole library: a scratch data directory, captured
// events, payload files, and the reference config server.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvMediator.h"
#include "TestSupport.h"
#include "payloads/OrvPayloadDirectory.h"
#include "server/OrvConfigServer.h"

namespace orvtest {

// Collects every event the mediator delivers while it exists (every call: no
// deduplication); `arrived` counts them.
class EventCapture {
 public:
  EventCapture()
      : id_(OrvMediator::sharedInstance()->addEventSink([this](const OrvMediatorEvent& e) {
          {
            std::lock_guard lock(mutex_);
            events_.push_back(e);
          }
          arrived.notify();
        })) {}
  ~EventCapture() { OrvMediator::sharedInstance()->removeEventSink(id_); }
  std::vector<OrvMediatorEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  std::size_t size() const { return events().size(); }
  // Each event's properties as JSON (booleans and numbers stay told apart).
  std::vector<std::string> properties() const {
    std::vector<std::string> out;
    for (const auto& e : events()) out.push_back(e.properties.toJson());
    return out;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : events()) out.push_back(e.name);
    return out;
  }
  // How often each eventId arrived.
  std::map<std::string, int> perId() const {
    std::map<std::string, int> out;
    for (const auto& e : events()) ++out[e.eventId];
    return out;
  }
  Signal arrived;

 private:
  mutable std::mutex mutex_;
  std::vector<OrvMediatorEvent> events_;
  const std::uint64_t id_;
};

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OrvPlatform::setDataDirectory(dir_.path() + "/data");
    // While any sink is registered the mediator buffers nothing, so no event of this
    // test can surface in a later test's capture.
    discardSink_ = OrvMediator::sharedInstance()->addEventSink([](const OrvMediatorEvent&) {});
  }
  void TearDown() override {
    // Leave no work of this test behind for the next one.
    EXPECT_TRUE(drainWorkQueue());
    EXPECT_TRUE(drainMainQueue());
    OrvMediator::sharedInstance()->removeEventSink(discardSink_);
    OrvPlatform::setDataDirectory("");
  }

  // A fresh application identifier for this test.
  std::string appId(const std::string& suffix = "") const {
    return std::string("app-") + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
           suffix;
  }
  // Gives `config` a start-up task, starts and waits for the first outcome.
  std::shared_ptr<TaskOutcome> start(const std::shared_ptr<OrvExperimentConfig>& config) {
    auto task = OrvExperimentTask::create();
    auto outcome = listenTo(task);
    config->setStartupTask(task);
    OrvExperiment::startWithConfig(config);
    EXPECT_TRUE(outcome->done.waitFor(1));
    return outcome;
  }
  // Writes `json` to a payload file, starts on it through file:// and expects success.
  std::shared_ptr<OrvExperimentConfig> startWithPayload(const std::string& app,
                                                        const std::string& json,
                                                        bool automaticTracking = true) {
    replacePayload(app, json);
    auto config = OrvExperimentConfig::create(app, "file://" + dir_.file(app + ".json"));
    config->setAutomaticExposureTracking(automaticTracking);
    EXPECT_EQ(start(config)->successes, 1);
    return config;
  }
  // Calls fetch() and waits for its outcome.
  std::shared_ptr<TaskOutcome> fetch() {
    auto outcome = listenTo(OrvExperiment::fetch());
    EXPECT_TRUE(outcome->done.waitFor(1));
    return outcome;
  }
  // Replaces the payload file atomically (readers never see half a file).
  void replacePayload(const std::string& app, const std::string& json) const {
    writeFile(dir_.file(app + ".tmp"), json);
    std::filesystem::rename(dir_.file(app + ".tmp"), dir_.file(app + ".json"));
  }
  // The reference config server (started on first use) and the payload it serves.
  OrvConfigServer& server() {
    if (!server_) {
      server_ = std::make_unique<OrvConfigServer>(dir_.path() + "/payloads");
      EXPECT_TRUE(server_->start());
    }
    return *server_;
  }
  void serve(const std::string& app, const std::string& json) {
    std::filesystem::create_directories(dir_.path() + "/payloads/" + app);
    writeFile(OrvPayloadDirectory::payloadPath(dir_.path() + "/payloads", app, "ki_feature"), json);
  }

  TempDir dir_;

 private:
  std::unique_ptr<OrvConfigServer> server_;
  std::uint64_t discardSink_ = 0;
};

}  // namespace orvtest
