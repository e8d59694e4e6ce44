// Reporting an outcome on a completion task. Internal to the library.
//
// Each call makes exactly one delivery, submitted to the main queue; the listener list
// is read when the delivery runs, not when the call is made. Deliveries for all tasks
// run in the order the calls were made. A pending delivery keeps the task (and the
// message) alive. A null task is ignored. Never blocks; callable from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class OrvExperimentTask;

void OrvNotifyTaskSuccess(const std::shared_ptr<OrvExperimentTask>& task);
void OrvNotifyTaskFailure(const std::shared_ptr<OrvExperimentTask>& task, std::int64_t code,
                          const std::string& message);
