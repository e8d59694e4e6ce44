#include "platform/execution/OrvProcessLifetime.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <locale>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "OrvExperiment/OrvValue.h"
#include "platform/values/OrvMD5.h"

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

// Builds every function-local static that a library thread may reach, so that each is
// destroyed after atExit() has stopped those threads: statics are destroyed in the
// reverse order of their construction, interleaved with atexit handlers, so one built
// after our handler was registered would be destroyed before it runs, under the feet of
// a thread still at work (simdjson's implementation singletons did that: "pure virtual
// method called" from a delivery parsing an outbox row while main returned). Cheap:
// well under a millisecond in all.
void buildWhatThreadsUse() {
  // simdjson picks its kernel on the first parse and keeps its implementations in
  // function-local statics; the on-demand walk (a number beyond a double) has its own.
  (void)OrvValue::parseJson(R"({"a":[1,"b",{"c":null}]})");
  (void)OrvValue::parseJson("[1e400]");
  // OpenSSL's digest (fetched once, from a library context of our own), libcurl's and
  // SQLite's global state, and the C++ locale behind every stream a thread makes.
  (void)OrvMD5::hex("");
  curl_global_init(CURL_GLOBAL_DEFAULT);
  sqlite3_initialize();
  std::ostringstream stream;
  stream.imbue(std::locale());
  stream << 1 << 1.5;
}

}  // namespace

void OrvProcessLifetime::initialise() {
  // What buildWhatThreadsUse() reaches may call back in here (MD5 does): already under way
  // on this thread, so nothing to wait for.
  thread_local bool underWay = false;
  if (underWay) return;
  static std::once_flag once;
  std::call_once(once, [] {
    underWay = true;
    // OpenSSL's first initialisation decides whether it registers its exit cleanup;
    // asking for none means no library thread left behind past the grace period (a
    // listener that never returns, say) can ever touch freed OpenSSL state. When the
    // application initialised OpenSSL before us, its cleanup was registered earlier
    // than our handler and so runs after it. libcurl and SQLite register no exit
    // cleanup of their own.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_CONFIG, nullptr);
    buildWhatThreadsUse();
    std::atexit(&atExit);
    underWay = false;
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

// Shared by the owner, the thread (which keeps it alive once left behind) and, weakly,
// the exit hooks.
struct OrvStoppableThread::State {
  std::atomic<bool> stopRequested{false};

  std::mutex mutex;
  std::condition_variable ended;  // the body returned
  // Guarded by mutex.
  bool started = false;
  bool finished = false;  // the body returned and its captures are gone
  std::thread thread;     // until joined or left behind
  std::thread::id id;     // of the thread, once started

  // Its own mutex, never held with `mutex`: the owner may call start() under the lock
  // `wake` takes.
  std::mutex wakeMutex;
  std::function<void()> wake;  // guarded by wakeMutex; empty once the owner is gone

  void requestStop() {
    // Set before `wake` takes the body's lock: a body that looked before waits by then.
    stopRequested.store(true);
    std::lock_guard lock(wakeMutex);
    if (wake) wake();
  }

  bool stop(std::chrono::steady_clock::time_point deadline) {
    requestStop();
    std::unique_lock lock(mutex);
    if (started && id == std::this_thread::get_id()) {
      // It cannot wait for itself: it goes on (left behind if nobody took it yet) and
      // returns soon after this call does.
      if (thread.joinable()) thread.detach();
      return false;
    }
    const auto over = [this] { return finished || !started; };
    bool done;
    if (deadline == std::chrono::steady_clock::time_point::max()) {
      ended.wait(lock, over);
      done = true;
    } else {
      done = ended.wait_until(lock, deadline, over);
    }
    std::thread taken = std::move(thread);  // empty when another stop took it first
    lock.unlock();
    if (!taken.joinable()) return done;
    if (done) {
      taken.join();
    } else {
      taken.detach();  // left behind, holding this state
    }
    return done;
  }
};

OrvStoppableThread::OrvStoppableThread(std::function<void()> wake)
    : state_(std::make_shared<State>()) {
  state_->wake = std::move(wake);
  std::weak_ptr<State> weak = state_;
  const bool joinedAtExit = OrvProcessLifetime::addHooks(
      [weak] {
        if (auto state = weak.lock()) state->requestStop();
      },
      [weak](std::chrono::steady_clock::time_point deadline) {
        if (auto state = weak.lock()) state->stop(deadline);
      });
  if (!joinedAtExit) state_->stopRequested.store(true);  // made during exit
}

OrvStoppableThread::~OrvStoppableThread() {
  stop();
  std::lock_guard lock(state_->wakeMutex);
  state_->wake = nullptr;
}

bool OrvStoppableThread::start(std::function<void()> body) {
  std::lock_guard lock(state_->mutex);
  // Looked at under the mutex that stop() takes after setting it: either the stop sees
  // this thread, or this sees the stop.
  if (state_->started || state_->stopRequested.load()) return state_->started;
  state_->started = true;
  state_->thread = std::thread([state = state_, body = std::move(body)]() mutable {
    body();
    body = nullptr;  // its captures (maybe the owner's last reference) go first
    std::lock_guard lock(state->mutex);
    state->finished = true;
    state->ended.notify_all();
  });
  state_->id = state_->thread.get_id();
  return true;
}

bool OrvStoppableThread::stopRequested() const noexcept { return state_->stopRequested.load(); }

bool OrvStoppableThread::stop(std::chrono::steady_clock::time_point deadline) {
  return state_->stop(deadline);
}

void OrvStoppableThread::stop() {
  state_->stop(OrvProcessLifetime::exiting() ? std::chrono::steady_clock::now()
                                             : std::chrono::steady_clock::time_point::max());
}
