// Making the library's own completion tasks and reporting outcomes on tasks. Internal
// to the library.
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

// A task for the library to return to the application (fetch()): unlike create(), it
// keeps outcomes that found no listener of their kind and hands them, in order, to the
// listeners added later, so that a fast outcome is not lost to the caller's timing.
std::shared_ptr<OrvExperimentTask> OrvCreateLibraryTask();

void OrvNotifyTaskSuccess(const std::shared_ptr<OrvExperimentTask>& task);
void OrvNotifyTaskFailure(const std::shared_ptr<OrvExperimentTask>& task, std::int64_t code,
                          const std::string& message);
