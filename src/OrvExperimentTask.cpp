#include "OrvExperiment/OrvExperimentTask.h"

#include <exception>

#include "OrvExpLog.h"
#include "OrvExperimentTaskNotify.h"
#include "platform/execution/OrvMainQueue.h"
#include "platform/execution/OrvSerialExecutor.h"

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

// A listener that throws must not keep the others from hearing the outcome.
template <class Call>
void callGuarded(const Call& call) {
  try {
    call();
  } catch (const std::exception& e) {
    OrvExpLog::error("OrvExperimentTask: a listener threw an exception: %@", e.what());
  } catch (...) {
    OrvExpLog::error("OrvExperimentTask: a listener threw an exception");
  }
}

}  // namespace

struct OrvExperimentTaskAccess {
  using Outcome = OrvExperimentTask::Outcome;

  // The lists an outcome is delivered to, as they stood under the task's lock.
  struct Listeners {
    std::shared_ptr<const std::vector<OrvExperimentTask::SuccessListener>> successes;
    std::shared_ptr<const std::vector<OrvExperimentTask::FailureListener>> failures;
  };

  // Under the task's lock.
  static bool hasListeners(const OrvExperimentTask& task, bool success) {
    return success ? task.successListeners_ && !task.successListeners_->empty()
                   : task.failureListeners_ && !task.failureListeners_->empty();
  }
  static Listeners listeners(const OrvExperimentTask& task) {
    return {task.successListeners_, task.failureListeners_};
  }

  // Outside the task's lock, on the main queue.
  static void call(const OrvExperimentTask& task, const Outcome& outcome, const Listeners& to) {
    struct Scope {
      CurrentDelivery saved = tlDelivery;
      ~Scope() { tlDelivery = saved; }
    } scope;
    tlDelivery = {&task, outcome.success, false};
    if (outcome.success) {
      if (to.successes)
        for (const auto& listener : *to.successes) callGuarded([&] { listener(); });
    } else if (to.failures) {
      for (const auto& listener : *to.failures)
        callGuarded([&] { listener(outcome.code, outcome.message); });
    }
  }

  // One delivery, on the main queue. A task that keeps unheard outcomes keeps this one
  // when no listener of its kind is there, or when older kept outcomes still wait (so
  // it cannot overtake them).
  static void deliver(const std::shared_ptr<OrvExperimentTask>& task, Outcome outcome) {
    Listeners to;
    {
      std::lock_guard lock(task->mutex_);
      if (task->keepsUnheard_ &&
          (!task->unheard_.empty() || !hasListeners(*task, outcome.success))) {
        if (task->unheard_.size() < kMaxUnheard) task->unheard_.push_back(std::move(outcome));
        return;
      }
      to = listeners(*task);
    }
    call(*task, outcome, to);
  }

  // On the main queue, after a listener was added: delivers kept outcomes oldest first,
  // up to the first one whose kind still has no listener.
  static void deliverKept(const std::shared_ptr<OrvExperimentTask>& task) {
    for (;;) {
      Outcome next;
      Listeners to;
      {
        std::lock_guard lock(task->mutex_);
        if (task->unheard_.empty() || !hasListeners(*task, task->unheard_.front().success)) return;
        next = std::move(task->unheard_.front());
        task->unheard_.erase(task->unheard_.begin());
        to = listeners(*task);
      }
      call(*task, next, to);
    }
  }

  // Appends to one list (an empty function is ignored).
  template <class L>
  static std::shared_ptr<OrvExperimentTask> add(
      OrvExperimentTask& task, std::shared_ptr<const std::vector<L>> OrvExperimentTask::*list,
      bool success, L listener) {
    if (listener) {
      noteAddDuringDelivery(&task, success);
      bool kept = false;
      {
        std::lock_guard lock(task.mutex_);
        task.*list = appended(task.*list, std::move(listener));
        kept = !task.unheard_.empty();
      }
      if (kept) OrvMainQueue::async([self = task.shared_from_this()] { deliverKept(self); });
    }
    return task.shared_from_this();
  }

  static std::shared_ptr<OrvExperimentTask> createKeeping() {
    auto task = OrvExperimentTask::create();
    task->keepsUnheard_ = true;
    task->askedInMainQueueJob_ = OrvMainQueue::currentJob();
    return task;
  }
  static std::uint64_t askedIn(const OrvExperimentTask& task) { return task.askedInMainQueueJob_; }

  // Outcomes kept for listeners not yet added; later ones beyond are dropped.
  static constexpr std::size_t kMaxUnheard = 16;
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

std::shared_ptr<OrvExperimentTask> OrvCreateLibraryTask() {
  return OrvExperimentTaskAccess::createKeeping();
}

namespace {

// An outcome queued while the main-queue job that asked for its task still runs: if that
// job is still running a second later, it is most likely waiting for this very outcome,
// which cannot be delivered before it returns. Said once, on the library's log.
void watchForWaitOnTheMainQueue(const std::shared_ptr<OrvExperimentTask>& task) {
  const std::uint64_t job = OrvExperimentTaskAccess::askedIn(*task);
  if (job == 0 || OrvMainQueue::runningJob() != job) return;
  OrvSerialExecutor::background().submitAt(
      std::chrono::steady_clock::now() + std::chrono::seconds(1), [job] {
        if (OrvMainQueue::runningJob() != job) return;
        OrvExpLog::error(
            "OrvExperimentTask: the outcome of whenReady() or fetch() called inside a "
            "main-queue listener has waited 1 s behind that listener; outcomes are delivered "
            "on the main queue, so a listener that waits for one waits until its own "
            "timeout. Add a listener instead, or wait on a thread of your own");
      });
}

}  // namespace

void OrvNotifyTaskSuccess(const std::shared_ptr<OrvExperimentTask>& task) {
  if (!task) return;
  OrvMainQueue::async([task] { OrvExperimentTaskAccess::deliver(task, {true, 0, {}}); });
  watchForWaitOnTheMainQueue(task);
}

void OrvNotifyTaskFailure(const std::shared_ptr<OrvExperimentTask>& task, std::int64_t code,
                          const std::string& message) {
  if (!task) return;
  OrvMainQueue::async([task, code, message] {
    OrvExperimentTaskAccess::deliver(task, {false, code, message});
  });
  watchForWaitOnTheMainQueue(task);
}
