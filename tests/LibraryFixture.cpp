#include "LibraryFixture.h"

#include <filesystem>

namespace orvtest {

EventCapture::EventCapture() {
  id_ = OrvMediator::sharedInstance()->addEventSink([this](const OrvMediatorEvent& e) {
    std::lock_guard lock(mutex_);
    events_.push_back(e);
  });
}

std::vector<OrvMediatorEvent> EventCapture::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<std::string> EventCapture::properties() const {
  std::vector<std::string> out;
  for (const auto& e : events()) out.push_back(e.properties.toJson());
  return out;
}

void LibraryTest::SetUp() {
  OrvPlatform::setDataDirectory(dir_.path() + "/data");
  // While any sink is registered the mediator buffers nothing, so no event of this
  // test can surface in a later test's capture.
  discardSink_ = OrvMediator::sharedInstance()->addEventSink([](const OrvMediatorEvent&) {});
}

void LibraryTest::TearDown() {
  // Leave no work of this test behind for the next one.
  EXPECT_TRUE(drainWorkQueue());
  EXPECT_TRUE(drainMainQueue());
  OrvMediator::sharedInstance()->removeEventSink(discardSink_);
  OrvPlatform::setDataDirectory("");
}

std::string LibraryTest::appId(const std::string& suffix) const {
  return std::string("app-") + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
         suffix;
}

std::shared_ptr<TaskOutcome> LibraryTest::start(
    const std::shared_ptr<OrvExperimentConfig>& config) {
  auto task = OrvExperimentTask::create();
  auto outcome = listenTo(task);
  config->setStartupTask(task);
  OrvExperiment::startWithConfig(config);
  EXPECT_TRUE(outcome->done.waitFor(1));
  return outcome;
}

std::shared_ptr<OrvExperimentConfig> LibraryTest::startWithPayload(const std::string& app,
                                                                   const std::string& json,
                                                                   bool automaticTracking) {
  replacePayload(app, json);
  auto config = OrvExperimentConfig::create(app, "file://" + dir_.file(app + ".json"));
  config->setAutomaticExposureTracking(automaticTracking);
  EXPECT_EQ(start(config)->successes, 1);
  return config;
}

std::shared_ptr<TaskOutcome> LibraryTest::fetch() {
  auto outcome = listenTo(OrvExperiment::fetch());
  EXPECT_TRUE(outcome->done.waitFor(1));
  return outcome;
}

void LibraryTest::replacePayload(const std::string& app, const std::string& json) const {
  writeFile(dir_.file(app + ".tmp"), json);
  std::filesystem::rename(dir_.file(app + ".tmp"), dir_.file(app + ".json"));
}

OrvConfigServer& LibraryTest::server() {
  if (!server_) {
    server_ = std::make_unique<OrvConfigServer>(dir_.path() + "/payloads");
    EXPECT_TRUE(server_->start());
  }
  return *server_;
}

void LibraryTest::serve(const std::string& app, const std::string& json) {
  std::filesystem::create_directories(dir_.path() + "/payloads/" + app);
  writeFile(OrvConfigServer::payloadPath(dir_.path() + "/payloads", app, "ki_feature"), json);
}

}  // namespace orvtest
