#include "platform/OrvProcessLifetime.h"

#include <openssl/crypto.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

struct Hooks {
  std::mutex mutex;
  // Guarded by mutex.
  std::vector<std::function<void()>> abort;
  std::vector<std::function<void(std::chrono::steady_clock::time_point)>> stop;
};

Hooks& hooks() {
  static Hooks* h = new Hooks();  // leaked: used by the exit handler and late threads
  return *h;
}

std::atomic<bool> exitStarted{false};

void atExit() {
  std::vector<std::function<void()>> abort;
  std::vector<std::function<void(std::chrono::steady_clock::time_point)>> stop;
  {
    // Under the mutex, so that a hook added from now on sees the flag (and runs at
    // once) while every hook added before is in the copies.
    std::lock_guard lock(hooks().mutex);
    exitStarted.store(true, std::memory_order_release);
    abort = hooks().abort;
    stop = hooks().stop;
  }
  const auto deadline = std::chrono::steady_clock::now() + OrvProcessLifetime::kExitGracePeriod;
  for (const auto& hook : abort) hook();
  for (const auto& hook : stop) hook(deadline);
}

}  // namespace

void OrvProcessLifetime::initialise() {
  static std::once_flag once;
  std::call_once(once, [] {
    // OpenSSL's first initialisation decides whether it registers its exit cleanup;
    // asking for none means no library thread left behind past the grace period (a
    // listener that never returns, say) can ever touch freed OpenSSL state. When the
    // application initialised OpenSSL before us, its cleanup was registered earlier
    // than our handler and so runs after it. libcurl and SQLite register no exit
    // cleanup of their own.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_CONFIG, nullptr);
    std::atexit(&atExit);
  });
}

bool OrvProcessLifetime::exiting() noexcept { return exitStarted.load(std::memory_order_acquire); }

void OrvProcessLifetime::addAbortHook(std::function<void()> hook) {
  initialise();
  {
    std::lock_guard lock(hooks().mutex);
    if (!exiting()) {
      hooks().abort.push_back(std::move(hook));
      return;
    }
  }
  hook();  // exit is under way already: abort now
}

bool OrvProcessLifetime::addHooks(std::function<void()> abort,
                                  std::function<void(std::chrono::steady_clock::time_point)> stop) {
  initialise();
  std::lock_guard lock(hooks().mutex);
  if (exiting()) return false;
  hooks().abort.push_back(std::move(abort));
  hooks().stop.push_back(std::move(stop));
  return true;
}
