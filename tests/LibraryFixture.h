// The fixture for tests of the whole library: a scratch data directory, captured
// events and task outcomes, payload files, and the reference config server.
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
  ~EventCapture();
  std::vector<OrvMediatorEvent> events() const;
  std::size_t size() const { return events().size(); }

 private:
  mutable std::mutex mutex_;
  std::vector<OrvMediatorEvent> events_;
  std::uint64_t id_ = 0;
};

// What a task reported; `done` counts outcomes.
struct TaskOutcome {
  Signal done;
  std::mutex mutex;
  int successes = 0;
  int failures = 0;
  std::int64_t code = 0;
  std::string message;
};
std::shared_ptr<TaskOutcome> listenTo(const std::shared_ptr<OrvExperimentTask>& task);

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
  std::string payloadFile(const std::string& app) const { return dir_.file(app + ".json"); }
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
