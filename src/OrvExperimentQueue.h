// The library's serial work queue: loading features, remembering exposures and sending
// exposure events all run here, strictly one after another in the order asked for,
// off the caller's thread. One instance per process, never destroyed. execute() may be
// called from any thread (including under the feature manager's lock) and never waits.
#pragma once

#include <functional>

#include "platform/OrvSerialExecutor.h"

class OrvExperimentQueue {
 public:
  static OrvExperimentQueue& sharedInstance();

  // Queues `block` behind everything already queued; an empty function is ignored.
  void execute(std::function<void()> block);

  OrvSerialExecutor& serialQueue() { return queue_; }

 private:
  OrvExperimentQueue();
  OrvSerialExecutor queue_;
};
