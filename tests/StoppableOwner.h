// A stoppable thread's owner, as the library's are: the thread waits under `mutex` until
// asked to stop. Shared by the in-process tests and the exit helper program.
#pragma once

#include <condition_variable>
#include <future>
#include <mutex>

#include "platform/execution/OrvProcessLifetime.h"

struct StoppableOwner {
  explicit StoppableOwner(std::promise<void>* gone = nullptr) : gone{gone} {}
  // Told once the thread member is gone (members go in reverse order).
  struct Gone {
    std::promise<void>* promise;
    ~Gone() {
      if (promise) promise->set_value();
    }
  } gone;
  std::mutex mutex;
  std::condition_variable changed;
  OrvStoppableThread thread{[this] {
    std::lock_guard lock(mutex);
    changed.notify_all();
  }};
  void waitForStop() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [this] { return thread.stopRequested(); });
  }
};
