#include "platform/logs/OrvConsole.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

namespace {

using Sink = std::function<void(std::string_view)>;

struct SinkSlot {
  std::mutex mutex;
  std::shared_ptr<const Sink> sink;  // guarded by mutex; null means stderr
};

SinkSlot& slot() {
  static SinkSlot* s = new SinkSlot();  // leaked: used by worker threads at exit
  return *s;
}

void writeToStderr(std::string_view line) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char prefix[96];
  std::snprintf(prefix, sizeof prefix, "%s.%03d %s[%d] ", stamp, static_cast<int>(millis),
                program_invocation_short_name, static_cast<int>(::getpid()));
  std::string out = prefix;
  out.append(line);
  out += '\n';
  // One write call per line keeps lines from different threads whole.
  std::fwrite(out.data(), 1, out.size(), stderr);
}

}  // namespace

void OrvConsole::write(std::string_view line) {
  std::shared_ptr<const Sink> sink;
  {
    std::lock_guard lock(slot().mutex);
    sink = slot().sink;
  }
  if (sink) {
    (*sink)(line);
  } else {
    writeToStderr(line);
  }
}

void OrvConsole::setSink(std::function<void(std::string_view)> sink) {
  std::shared_ptr<const Sink> replacement;
  if (sink) replacement = std::make_shared<const Sink>(std::move(sink));
  std::lock_guard lock(slot().mutex);
  slot().sink = std::move(replacement);
}
