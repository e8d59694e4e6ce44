#include "OrvMediator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>

#include "OrvMediatorInternal.h"
#include "platform/execution/OrvProcessLifetime.h"
#include "platform/execution/OrvSerialExecutor.h"
#include "platform/files/OrvDataDirectory.h"
#include "platform/logs/OrvLogChannel.h"
#include "platform/network/OrvHttpClient.h"
#include "platform/storage/OrvEventOutbox.h"
#include "platform/values/OrvIsoTime.h"

OrvLogChannel& orvMediatorLog() {
  static OrvLogChannel* channel = new OrvLogChannel("[OrvMediator]");  // never destroyed
  return *channel;
}

namespace {

constexpr std::size_t kDeliveryBatch = 256;

// Set while this thread delivers: a sink that tracks an event of its own leaves it to
// the delivery under way, which picks it up in its next round.
thread_local bool tlDelivering = false;

void deliver(const std::shared_ptr<const OrvMediator::Sink>& sink, const OrvMediatorEvent& event) {
  try {
    (*sink)(event);
  } catch (const std::exception& e) {
    orvMediatorLog().error("an event sink threw an exception: %@", e.what());
  } catch (...) {
    orvMediatorLog().error("an event sink threw an exception");
  }
}

OrvMediatorEvent fromOutbox(const OrvOutboxEvent& e) {
  return {e.name,    e.properties,
          e.appId,   std::chrono::system_clock::time_point(std::chrono::milliseconds(e.timeMs)),
          e.eventId, e.context};
}

}  // namespace

struct OrvMediator::State {
  std::mutex mutex;
  // Guarded by mutex.
  std::map<std::uint64_t, std::shared_ptr<const Sink>> sinks;
  std::map<std::uint64_t, std::shared_ptr<OrvOtlpExporter>> exporters;
  // The outbox of the data directory last used here, kept open so that what waits
  // there is delivered once a sink comes. (The exposure store keeps its own open.)
  std::string directory;
  std::shared_ptr<OrvEventOutbox> outbox;
  std::uint64_t nextId = 1;
  // One thread delivers at a time, so that every sink sees events in order and no
  // event is handed out twice; no lock is held while it calls sinks. A request made
  // meanwhile sets `again`, and the delivering thread makes another round for it.
  bool delivering = false;
  bool again = false;
  // A job on the background queue delivers every orphan-scan interval while a sink or an
  // exporter is registered, so that what a process that died left is delivered here
  // even when this process stores nothing of its own.
  std::uint64_t scanChain = 0;
  std::condition_variable idle;  // notified when `delivering` ends

  // Opens the outbox outside the lock: opening may log, and a console sink may call
  // back into the mediator.
  std::shared_ptr<OrvEventOutbox> outboxFor(const std::string& dir) {
    {
      std::lock_guard lock(mutex);
      if (outbox && directory == dir) return outbox;
    }
    auto opened = OrvEventOutbox::forDirectory(dir);
    std::lock_guard lock(mutex);
    directory = dir;
    outbox = opened;
    return opened;
  }
};

std::string OrvMediatorEvent::toJson() const { return toJson(false); }

std::string OrvMediatorEvent::toJson(bool withContext) const {
  OrvValue::Dictionary fields = {{"event_id", OrvValue(eventId)},
                                 {"name", OrvValue(name)},
                                 {"app_id", OrvValue(appId)},
                                 {"time", OrvValue(orvIsoTime(time))},
                                 {"properties", properties}};
  if (withContext && context.isDictionary()) fields.emplace_back("context", context);
  return OrvValue::dictionary(std::move(fields)).toJson();
}

namespace {

// The database stored events on a library thread of its own (exposures that waited for
// another process's lock): they are delivered from there.
void deliverStoredInBackground() { OrvMediator::sharedInstance()->deliverPending(); }

}  // namespace

OrvMediator::OrvMediator() : state_(new State()) {
  OrvEventOutbox::setStoredListener(&deliverStoredInBackground);
}

void OrvMediator::scanForLeftovers(std::uint64_t chain) {
  {
    std::lock_guard lock(state_->mutex);
    // A newer chain took over, or there is nobody to deliver to (the next sink or
    // exporter starts a chain again).
    if (chain != state_->scanChain || (state_->sinks.empty() && state_->exporters.empty())) return;
  }
  deliverPending();
  scheduleScan(chain);
}

void OrvMediator::scheduleScan(std::uint64_t chain) {
  OrvSerialExecutor::background().submitAt(
      std::chrono::steady_clock::now() + OrvEventOutbox::orphanScanInterval(),
      [this, chain] { scanForLeftovers(chain); });
}

void OrvMediator::startScanningLocked() {
  // Each sink or exporter added starts a chain with the interval of the moment; the
  // chain before it ends at its next step.
  scheduleScan(++state_->scanChain);
}

OrvMediator* OrvMediator::sharedInstance() {
  static OrvMediator* instance = new OrvMediator();
  return instance;
}

void OrvMediator::orvAnalyticsTrackEvent(const std::string& name, const OrvValue& properties,
                                         const std::string& appId) {
  orvAnalyticsTrackEvent(name, properties, appId, OrvValue());
}

void OrvMediator::orvAnalyticsTrackEvent(const std::string& name, const OrvValue& properties,
                                         const std::string& appId, const OrvValue& context) {
  if (properties.nestingDepth() > OrvValue::kMaxNestingDepth) {
    orvMediatorLog().error("event %@: properties nested deeper than %@ levels refused", name,
                           OrvValue::kMaxNestingDepth);
    return;
  }
  auto outbox = state_->outboxFor(OrvDataDirectory::get());
  OrvOutboxEvent event;
  event.name = name;
  event.properties = properties;
  event.context = context;
  event.appId = appId;
  outbox->append({std::move(event)});
  deliverPending();
}

void OrvMediator::deliverPending() {
  if (tlDelivering) return;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->delivering) {
      state_->again = true;
      return;
    }
    state_->delivering = true;
    state_->again = false;
  }
  tlDelivering = true;
  struct Reset {
    State* state;
    ~Reset() {
      tlDelivering = false;
      std::lock_guard lock(state->mutex);
      state->delivering = false;
      state->idle.notify_all();
    }
  } reset{state_};
  for (;;) {
    deliverRound();
    std::lock_guard lock(state_->mutex);
    if (!state_->again) return;
    state_->again = false;
  }
}

bool OrvMediator::waitForDelivery(std::chrono::steady_clock::time_point deadline) {
  if (tlDelivering) return false;
  std::unique_lock lock(state_->mutex);
  return state_->idle.wait_until(lock, deadline, [this] { return !state_->delivering; });
}

void OrvMediator::deliverRound() {
  const std::vector<std::shared_ptr<OrvEventOutbox>> outboxes = OrvEventOutbox::allOpen();
  for (const auto& outbox : outboxes) {
    for (;;) {
      {
        std::lock_guard lock(state_->mutex);
        if (state_->sinks.empty() && state_->exporters.empty()) return;  // events wait
      }
      std::vector<OrvOutboxEvent> batch = outbox->pending(kDeliveryBatch);
      if (batch.empty()) break;
      // Who takes them is read after they were: a sink or an exporter added meanwhile
      // (while this thread delivers for a call that found it delivering) gets them too,
      // instead of a hand-over that leaves it out.
      std::vector<std::shared_ptr<const Sink>> sinks;
      std::vector<std::shared_ptr<OrvOtlpExporter>> exporters;
      {
        std::lock_guard lock(state_->mutex);
        for (const auto& entry : state_->sinks) sinks.push_back(entry.second);
        for (const auto& entry : state_->exporters) exporters.push_back(entry.second);
      }
      if (sinks.empty() && exporters.empty()) return;  // all removed meanwhile: they wait
      // Once the process exits, what the sinks have not taken stays in the outbox for
      // the next run: a round over a backlog must not outlast the exit's grace period.
      std::size_t taken = 0;
      for (; taken < batch.size() && !OrvProcessLifetime::exiting(); ++taken) {
        const OrvMediatorEvent event = fromOutbox(batch[taken]);
        for (const auto& sink : sinks) deliver(sink, event);
      }
      batch.resize(taken);
      // Taken by every sink: the exporters' queues get it, in the same database.
      std::vector<std::string> consumers;
      for (const auto& exporter : exporters) consumers.push_back(exporter->consumerName());
      outbox->handOver(batch, consumers);
      for (const auto& exporter : exporters) exporter->wake(batch.size());
      if (OrvProcessLifetime::exiting()) return;
    }
  }
}

std::uint64_t OrvMediator::addOtlpExporter(OrvOtlpExporterOptions options) {
  if (const std::string problem = OrvHttpClient::urlProblem(options.endpoint); !problem.empty()) {
    orvMediatorLog().error("%@ for an OTLP exporter: %@", problem, options.endpoint);
    return 0;
  }
  auto exporter = std::make_shared<OrvOtlpExporter>(std::move(options));
  std::shared_ptr<OrvOtlpExporter> duplicate;  // stopped outside the lock
  std::uint64_t id = 0;
  {
    std::lock_guard lock(state_->mutex);
    // One queue per endpoint: a second exporter to it would share (and race) the first
    // one's queue, so the one there is the answer.
    for (const auto& [existing, other] : state_->exporters) {
      if (other->consumerName() == exporter->consumerName()) id = existing;
    }
    if (id != 0) {
      duplicate = std::move(exporter);
    } else {
      id = state_->nextId++;
      state_->exporters.emplace(id, std::move(exporter));
      startScanningLocked();
    }
  }
  if (duplicate) return id;
  state_->outboxFor(OrvDataDirectory::get());
  deliverPending();
  return id;
}

void OrvMediator::removeOtlpExporter(std::uint64_t id) {
  std::shared_ptr<OrvOtlpExporter> removed;  // stopped outside the lock
  std::lock_guard lock(state_->mutex);
  auto it = state_->exporters.find(id);
  if (it == state_->exporters.end()) return;
  removed = std::move(it->second);
  state_->exporters.erase(it);
}

OrvOtlpExporterStats OrvMediator::otlpExporterStats(std::uint64_t id) {
  std::shared_ptr<OrvOtlpExporter> exporter;
  {
    std::lock_guard lock(state_->mutex);
    auto it = state_->exporters.find(id);
    if (it == state_->exporters.end()) return {};
    exporter = it->second;
  }
  return exporter->stats();
}

bool OrvMediator::flushExporters(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::shared_ptr<OrvOtlpExporter>> exporters;
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& entry : state_->exporters) exporters.push_back(entry.second);
  }
  bool all = true;
  for (const auto& exporter : exporters) all = exporter->waitDelivered(deadline) && all;
  return all;
}

void OrvMediator::enableLog(bool enable) { orvMediatorLog().setEnabled(enable); }

std::uint64_t OrvMediator::addEventSink(Sink sink) {
  if (!sink) return 0;
  auto shared = std::make_shared<const Sink>(std::move(sink));
  // What an earlier run left in this directory's outbox is delivered now.
  state_->outboxFor(OrvDataDirectory::get());
  std::uint64_t id;
  {
    std::lock_guard lock(state_->mutex);
    id = state_->nextId++;
    state_->sinks.emplace(id, shared);
    startScanningLocked();
  }
  deliverPending();
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

std::size_t OrvMediator::pendingEventCount() {
  return OrvEventOutbox::forDirectory(OrvDataDirectory::get())->size();
}

void OrvMediator::setOutboxLimit(std::size_t limit) { OrvEventOutbox::setLimit(limit); }

std::size_t OrvMediator::outboxLimit() { return OrvEventOutbox::limit(); }

std::uint64_t OrvMediator::droppedEventCount() { return OrvEventOutbox::droppedCount(); }

OrvMediator::Sink OrvMediator::jsonLinesFileSink(const std::string& path) {
  struct File {
    std::mutex mutex;
    int fd = -1;
    std::unordered_set<std::string> written;  // guarded by mutex
    ~File() {
      if (fd >= 0) ::close(fd);
    }
  };
  auto file = std::make_shared<File>();
  file->fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (file->fd < 0) {
    orvMediatorLog().error("cannot open %@ for events", path);
  } else {
    // The ids already written, so that a redelivery (after a crash) is not written again.
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = ::pread(file->fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0)
      text.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      const auto parsed = OrvValue::parseJson(std::string_view(text).substr(start, end - start));
      if (parsed.ok() && parsed.value["event_id"].isString())
        file->written.insert(parsed.value["event_id"].stringValue());
      start = end + 1;
    }
    // A line cut short (a crash mid-write) is ended, so the next one stands alone.
    if (!text.empty() && text.back() != '\n' && ::write(file->fd, "\n", 1) != 1)
      orvMediatorLog().error("cannot write an event to %@", path);
  }
  return [file, path](const OrvMediatorEvent& event) {
    if (file->fd < 0) return;
    const std::string line = event.toJson() + "\n";
    std::unique_lock lock(file->mutex);
    if (!event.eventId.empty() && !file->written.insert(event.eventId).second) return;
    std::size_t written = 0;
    while (written < line.size()) {
      const ssize_t n = ::write(file->fd, line.data() + written, line.size() - written);
      if (n <= 0) {
        file->written.erase(event.eventId);  // not in the file: may be written later
        lock.unlock();
        orvMediatorLog().error("cannot write an event to %@", path);
        return;
      }
      written += static_cast<std::size_t>(n);
    }
  };
}
