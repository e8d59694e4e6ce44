// The one place that decides what library work does when the process ends.
//
// Exit-time order is the whole point. Third-party libraries register their own exit
// cleanup when first used (OpenSSL frees its global state from an atexit handler), and
// function-local statics are destroyed in the reverse order of their construction,
// interleaved with atexit handlers. So initialise() builds everything a library thread
// may touch (OpenSSL without its exit cleanup, simdjson's implementation singletons,
// libcurl's and SQLite's global state, the stream locale; the library's own statics are
// leaked or trivially destructible) before it registers the library's own exit handler,
// and every library thread is started only after initialise() has run. At exit
// the handler then runs before any third-party cleanup could: it marks the process as
// exiting, runs the abort hooks (which cut short whatever could keep a library thread
// busy, such as an HTTP transfer), and stops every library thread (see
// OrvSerialExecutor), all within one short grace period. Loops of library threads
// that could outlast it (delivering a backlog to sinks, say) look at exiting() between
// steps and stop, so no library thread is at work once static destruction begins
// (application code a thread is running, such as a sink that never returns, aside).
// OrvStoppableThread below is that contract for an owner of one thread.
//
// Thread-safe: every member may be called from any thread, also during exit.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

class OrvProcessLifetime {
 public:
  OrvProcessLifetime() = delete;

  // How long exit waits, in all, for running library jobs to finish.
  static constexpr std::chrono::milliseconds kExitGracePeriod{1000};

  // Idempotent; cheap after the first call. Must run before any library thread starts.
  static void initialise();

  // True once the process has begun to exit.
  static bool exiting() noexcept;

  // `hook` runs at the start of exit, before library threads are stopped, in the order
  // hooks were added; added once exit is under way, it runs at once, in this call. A
  // hook must be quick and must not wait for a library thread.
  static void addAbortHook(std::function<void()> hook);

  // Both hooks of one owner of threads, added together: `abort` as addAbortHook's, and
  // `stop(deadline)`, run at exit after every abort hook, in the order added, which asks
  // its threads to stop and waits for them until `deadline`. True when they will run at exit;
  // false (and neither is kept) when exit is under way already, and the owner must then
  // start no thread at all, since nothing would join it.
  static bool addHooks(std::function<void()> abort,
                       std::function<void(std::chrono::steady_clock::time_point)> stop);
};

// One library thread, stopped at exit with the others (its hooks are added through
// OrvProcessLifetime::addHooks when it is made) or by its owner, whichever comes first.
//
// A stop is asked for once: stopRequested() turns true for good, then `wake` runs. The
// body looks at stopRequested() between steps and before each wait, under the lock its
// waits take; `wake` takes that lock and notifies, so a stop is never missed, and the
// body returns soon after (an HTTP transfer in flight is cut short at exit by
// OrvHttpClient's own abort hook, not by `wake`).
//
// At exit: the abort hook asks for the stop, and the stop hook waits for the body until
// the exit's deadline, then joins the thread. A body that has not returned by then is
// left behind: the thread is detached and runs on, holding what its body captured and
// this object's shared state, so that neither dies under it. Made while exit is under
// way, the object never starts a thread (nothing would join it) and a stop counts as
// asked for from the start.
//
// Owner's side: `wake` may run on any thread until this object is destroyed, never
// after; declare this object after what `wake` uses, so that it is destroyed first.
// Never call stop() or the destructor under the lock `wake` takes. Reached from the
// body itself (exit() from application code it runs, or its owner's last reference
// dropped there), a stop waits for nothing: the thread is left behind and ends once
// the body returns.
//
// Thread-safe: every member may be called from any thread, also during exit.
class OrvStoppableThread {
 public:
  // Adds the exit hooks; `wake` must not call into this object.
  explicit OrvStoppableThread(std::function<void()> wake);
  // stop(), and `wake` is not called any more.
  ~OrvStoppableThread();
  OrvStoppableThread(const OrvStoppableThread&) = delete;
  OrvStoppableThread& operator=(const OrvStoppableThread&) = delete;

  // Runs `body` on a new thread, unless one was started already or a stop was asked for
  // (also by exit, or because this object was made during exit). True when a body is
  // running or has run, whichever call started it; false when none ever will.
  bool start(std::function<void()> body);

  // True once a stop was asked for (by stop(), by exit, or by making this during exit).
  bool stopRequested() const noexcept;

  // Asks for the stop, wakes the body and waits for it until `deadline`: joined if it
  // returned in time; otherwise the thread is left behind, detached, as at exit. True
  // when the body had returned (or never started) by `deadline`; false at once when
  // called from the body itself.
  bool stop(std::chrono::steady_clock::time_point deadline);
  // While the process is not exiting, stop() waits as long as the body takes; once it
  // is, stop(now): exit waits for nobody beyond its grace period.
  void stop();

 private:
  struct State;
  std::shared_ptr<State> state_;
};
