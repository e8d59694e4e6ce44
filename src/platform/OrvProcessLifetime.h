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
//
// Thread-safe: every member may be called from any thread, also during exit.
#pragma once

#include <chrono>
#include <functional>

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
