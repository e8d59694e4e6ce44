#include "OrvMediator.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <deque>
#include <exception>
#include <map>
#include <mutex>

#include "platform/OrvLogChannel.h"

struct OrvMediator::State {
  // Serialises deliveries so sinks see events in order; recursive so that a sink may
  // track another event or change the sinks.
  std::recursive_mutex deliveryMutex;
  std::mutex mutex;
  // Guarded by mutex.
  std::map<std::uint64_t, std::shared_ptr<const Sink>> sinks;
  std::deque<OrvMediatorEvent> buffer;
  std::uint64_t nextId = 1;
};

namespace {

OrvLogChannel& mediatorLog() {
  static OrvLogChannel channel{"[OrvMediator]"};
  return channel;
}

void deliver(const std::shared_ptr<const OrvMediator::Sink>& sink, const OrvMediatorEvent& event) {
  try {
    (*sink)(event);
  } catch (const std::exception& e) {
    mediatorLog().error("an event sink threw an exception: %@", e.what());
  } catch (...) {
    mediatorLog().error("an event sink threw an exception");
  }
}

std::string isoTime(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const std::time_t seconds = system_clock::to_time_t(t);
  const auto millis = duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(millis));
  return text;
}

}  // namespace

std::string OrvMediatorEvent::toJson() const {
  return OrvValue::dictionary({{"name", OrvValue(name)},
                               {"app_id", OrvValue(appId)},
                               {"time", OrvValue(isoTime(time))},
                               {"properties", properties}})
      .toJson();
}

OrvMediator::OrvMediator() : state_(new State()) {}

OrvMediator* OrvMediator::sharedInstance() {
  static OrvMediator* instance = new OrvMediator();
  return instance;
}

void OrvMediator::orvAnalyticsTrackEvent(const std::string& name, const OrvValue& properties,
                                         const std::string& appId) {
  OrvMediatorEvent event{name, properties, appId, std::chrono::system_clock::now()};
  std::lock_guard delivery(state_->deliveryMutex);
  std::vector<std::shared_ptr<const Sink>> sinks;
  bool droppedOldest = false;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->sinks.empty()) {
      if (state_->buffer.size() >= kMaxBufferedEvents) {
        state_->buffer.pop_front();
        droppedOldest = true;
      }
      state_->buffer.push_back(std::move(event));
    } else {
      for (const auto& entry : state_->sinks) sinks.push_back(entry.second);
    }
  }
  // Logged outside the lock: a console sink may forward error lines to us.
  if (droppedOldest) {
    mediatorLog().error("no event sink registered and %@ events buffered; dropped the oldest",
                        static_cast<std::uint64_t>(kMaxBufferedEvents));
  }
  for (const auto& sink : sinks) deliver(sink, event);
}

void OrvMediator::enableLog(bool enable) { mediatorLog().setEnabled(enable); }

std::uint64_t OrvMediator::addEventSink(Sink sink) {
  if (!sink) return 0;
  auto shared = std::make_shared<const Sink>(std::move(sink));
  std::lock_guard delivery(state_->deliveryMutex);
  std::deque<OrvMediatorEvent> buffered;
  std::uint64_t id;
  {
    std::lock_guard lock(state_->mutex);
    id = state_->nextId++;
    state_->sinks.emplace(id, shared);
    buffered.swap(state_->buffer);
  }
  for (const auto& event : buffered) deliver(shared, event);
  return id;
}

void OrvMediator::removeEventSink(std::uint64_t id) {
  std::shared_ptr<const Sink> removed;  // destroyed outside the lock
  std::lock_guard lock(state_->mutex);
  auto it = state_->sinks.find(id);
  if (it == state_->sinks.end()) return;
  removed = std::move(it->second);
  state_->sinks.erase(it);
}

OrvMediator::Sink OrvMediator::jsonLinesFileSink(const std::string& path) {
  struct File {
    std::mutex mutex;
    int fd = -1;
    ~File() {
      if (fd >= 0) ::close(fd);
    }
  };
  auto file = std::make_shared<File>();
  file->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (file->fd < 0) mediatorLog().error("cannot open %@ for events", path);
  return [file, path](const OrvMediatorEvent& event) {
    if (file->fd < 0) return;
    const std::string line = event.toJson() + "\n";
    std::lock_guard lock(file->mutex);
    std::size_t written = 0;
    while (written < line.size()) {
      const ssize_t n = ::write(file->fd, line.data() + written, line.size() - written);
      if (n <= 0) {
        mediatorLog().error("cannot write an event to %@", path);
        return;
      }
      written += static_cast<std::size_t>(n);
    }
  };
}
