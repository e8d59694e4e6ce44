// The fixture for tests of the whole library: a scratch data directory, captured
// events, payload files, and the reference config server.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "OrvConfigServer.h"
#include "OrvExperiment/OrvExperiment.h"
#include "OrvExperiment/OrvPlatform.h"
#include "OrvMediator.h"
#include "TestSupport.h"

namespace orvtest {

// Collects every event the mediator delivers while it exists.
class EventCapture {
 public:
  EventCapture();
  ~EventCapture() { OrvMediator::sharedInstance()->removeEventSink(id_); }
  std::vector<OrvMediatorEvent> events() const;
  std::size_t size() const { return events().size(); }
  // Each event's properties as JSON (booleans and numbers stay told apart).
  std::vector<std::string> properties() const;

 private:
  mutable std::mutex mutex_;
  std::vector<OrvMediatorEvent> events_;
  std::uint64_t id_ = 0;
};

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A fresh application identifier for this test.
  std::string appId(const std::string& suffix = "") const;
  // Gives `config` a start-up task, starts and waits for the first outcome.
  std::shared_ptr<TaskOutcome> start(const std::shared_ptr<OrvExperimentConfig>& config);
  // Writes `json` to a payload file, starts on it through file:// and expects success.
  std::shared_ptr<OrvExperimentConfig> startWithPayload(const std::string& app,
                                                        const std::string& json,
                                                        bool automaticTracking = true);
  // Calls fetch() and waits for its outcome.
  std::shared_ptr<TaskOutcome> fetch();
  // Replaces the payload file atomically (readers never see half a file).
  void replacePayload(const std::string& app, const std::string& json) const;
  // The reference config server (started on first use) and the payload it serves.
  OrvConfigServer& server();
  void serve(const std::string& app, const std::string& json);

  TempDir dir_;

 private:
  std::unique_ptr<OrvConfigServer> server_;
  std::uint64_t discardSink_ = 0;
};

}  // namespace orvtest
