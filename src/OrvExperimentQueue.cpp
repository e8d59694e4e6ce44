#include "OrvExperimentQueue.h"

#include "OrvExpLog.h"

OrvExperimentQueue::OrvExperimentQueue()
    : queue_("com.orvexperiment.serial", &OrvExpLog::channel()) {}

OrvExperimentQueue& OrvExperimentQueue::sharedInstance() {
  // Leaked on purpose: the queue must outlive every static that a job might touch.
  static OrvExperimentQueue* instance = new OrvExperimentQueue();
  return *instance;
}

void OrvExperimentQueue::execute(std::function<void()> block) {
  if (!block) return;
  std::lock_guard lock(submitMutex_);
  ++epoch_;
  queue_.submit(std::move(block));
}

bool OrvExperimentQueue::drain(std::chrono::steady_clock::time_point deadline) {
  // A marker changes nothing later work sees: no new epoch.
  return queue_.drain(deadline);
}
