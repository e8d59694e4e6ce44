#include "OrvExperiment/OrvExperimentTask.h"

#include <exception>

#include "OrvExpLog.h"
#include "OrvExperimentTaskNotify.h"
#include "platform/OrvMainQueue.h"

namespace {

// The delivery running on this thread, so that an add made by a listener to the list
// being walked can be noticed (a listener changing its own list is outside the task's
// contract; we keep the walk safe and say so once per delivery).
struct CurrentDelivery {
  const OrvExperimentTask* task = nullptr;
  bool success = false;
  bool reported = false;
};
thread_local CurrentDelivery tlDelivery;

void noteAddDuringDelivery(const OrvExperimentTask* task, bool success) {
  if (tlDelivery.task != task || tlDelivery.success != success || tlDelivery.reported) return;
  tlDelivery.reported = true;
  OrvExpLog::error(
      "OrvExperimentTask: a %@ listener was added to the list being delivered; it is called "
      "from the next delivery on",
      success ? "success" : "failure");
}

template <class L>
std::shared_ptr<const std::vector<L>> appended(const std::shared_ptr<const std::vector<L>>& list,
                                               L listener) {
  auto copy = list ? std::make_shared<std::vector<L>>(*list) : std::make_shared<std::vector<L>>();
  copy->push_back(std::move(listener));
  return copy;
}

}  // namespace

struct OrvExperimentTaskAccess {
  // Calls every listener of the snapshot taken now. When there is none, `holdUnheard`
  // runs under the task's lock to keep the outcome for the first listener to come.
  template <class L, class Hold, class... Args>
  static void deliver(OrvExperimentTask& task,
                      std::shared_ptr<const std::vector<L>> OrvExperimentTask::*list, bool success,
                      Hold&& holdUnheard, const Args&... args) {
    std::shared_ptr<const std::vector<L>> snapshot;
    {
      std::lock_guard lock(task.mutex_);
      snapshot = task.*list;
      if (!snapshot || snapshot->empty()) {
        holdUnheard();
        return;
      }
    }
    struct Scope {
      CurrentDelivery saved = tlDelivery;
      ~Scope() { tlDelivery = saved; }
    } scope;
    tlDelivery = {&task, success, false};
    for (const L& listener : *snapshot) {
      // A listener that throws must not keep the others from hearing the outcome.
      try {
        listener(args...);
      } catch (const std::exception& e) {
        OrvExpLog::error("OrvExperimentTask: a listener threw an exception: %@", e.what());
      } catch (...) {
        OrvExpLog::error("OrvExperimentTask: a listener threw an exception");
      }
    }
  }

  static void deliverSuccess(const std::shared_ptr<OrvExperimentTask>& task) {
    deliver(*task, &OrvExperimentTask::successListeners_, true, [&] {
      if (task->unheardSuccesses_ < kMaxUnheld) ++task->unheardSuccesses_;
    });
  }
  static void deliverFailure(const std::shared_ptr<OrvExperimentTask>& task, std::int64_t code,
                             const std::string& message) {
    deliver(
        *task, &OrvExperimentTask::failureListeners_, false,
        [&] {
          if (task->unheardFailures_.size() < kMaxUnheld)
            task->unheardFailures_.emplace_back(code, message);
        },
        code, message);
  }

  // Appends to one list (an empty function is ignored) and hands it any outcome that
  // nobody heard.
  template <class L>
  static std::shared_ptr<OrvExperimentTask> add(
      OrvExperimentTask& task, std::shared_ptr<const std::vector<L>> OrvExperimentTask::*list,
      bool success, L listener) {
    if (listener) {
      noteAddDuringDelivery(&task, success);
      {
        std::lock_guard lock(task.mutex_);
        task.*list = appended(task.*list, std::move(listener));
      }
      deliverUnheard(task.shared_from_this(), success);
    }
    return task.shared_from_this();
  }

  // After a listener was added: hands outcomes nobody heard to the listeners, on the
  // main queue as every delivery.
  static void deliverUnheard(const std::shared_ptr<OrvExperimentTask>& task, bool success) {
    std::uint32_t successes = 0;
    std::vector<std::pair<std::int64_t, std::string>> failures;
    {
      std::lock_guard lock(task->mutex_);
      if (success) {
        std::swap(successes, task->unheardSuccesses_);
      } else {
        failures.swap(task->unheardFailures_);
      }
    }
    if (successes == 0 && failures.empty()) return;
    OrvMainQueue::async([task, successes, failures = std::move(failures)] {
      for (std::uint32_t i = 0; i < successes; ++i) deliverSuccess(task);
      for (const auto& [code, message] : failures) deliverFailure(task, code, message);
    });
  }

  // Outcomes kept per kind for listeners not yet added; older ones beyond are dropped.
  static constexpr std::size_t kMaxUnheld = 16;
};

std::shared_ptr<OrvExperimentTask> OrvExperimentTask::create() {
  return std::shared_ptr<OrvExperimentTask>(new OrvExperimentTask());
}

std::shared_ptr<OrvExperimentTask> OrvExperimentTask::addOnSuccessListener(
    SuccessListener listener) {
  return OrvExperimentTaskAccess::add(*this, &OrvExperimentTask::successListeners_, true,
                                      std::move(listener));
}

std::shared_ptr<OrvExperimentTask> OrvExperimentTask::addOnFailureListener(
    FailureListener listener) {
  return OrvExperimentTaskAccess::add(*this, &OrvExperimentTask::failureListeners_, false,
                                      std::move(listener));
}

std::vector<OrvExperimentTask::SuccessListener> OrvExperimentTask::successListeners() const {
  std::lock_guard lock(mutex_);
  return successListeners_ ? *successListeners_ : std::vector<SuccessListener>();
}

void OrvExperimentTask::setSuccessListeners(std::vector<SuccessListener> listeners) {
  auto replacement = std::make_shared<const std::vector<SuccessListener>>(std::move(listeners));
  std::lock_guard lock(mutex_);
  successListeners_ = std::move(replacement);
}

std::vector<OrvExperimentTask::FailureListener> OrvExperimentTask::failureListeners() const {
  std::lock_guard lock(mutex_);
  return failureListeners_ ? *failureListeners_ : std::vector<FailureListener>();
}

void OrvExperimentTask::setFailureListeners(std::vector<FailureListener> listeners) {
  auto replacement = std::make_shared<const std::vector<FailureListener>>(std::move(listeners));
  std::lock_guard lock(mutex_);
  failureListeners_ = std::move(replacement);
}

void OrvNotifyTaskSuccess(const std::shared_ptr<OrvExperimentTask>& task) {
  if (!task) return;
  OrvMainQueue::async([task] { OrvExperimentTaskAccess::deliverSuccess(task); });
}

void OrvNotifyTaskFailure(const std::shared_ptr<OrvExperimentTask>& task, std::int64_t code,
                          const std::string& message) {
  if (!task) return;
  OrvMainQueue::async(
      [task, code, message] { OrvExperimentTaskAccess::deliverFailure(task, code, message); });
}
