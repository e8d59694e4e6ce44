#include "collector/OrvEventStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "OrvAssignment.h"
#include "platform/files/OrvDataDirectory.h"
#include "platform/values/OrvMD5.h"

#include "collector/OrvEventStoreImpl.h"

namespace {

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Checks the store's directory, then its files as every database of ours is checked
// (OrvDataDirectory::checkDatabaseFiles), saying what is wrong with the main file.
bool checkFiles(const std::string& path, bool create, std::string* why) {
  struct stat dir {};
  const std::string directory = directoryOf(path);
  if (::stat(directory.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)) {
    *why = "cannot open " + path + ": the directory " + directory + " does not exist";
    return false;
  }
  int mainErrno = 0;
  if (!OrvDataDirectory::checkDatabaseFiles(path, create, why, &mainErrno)) return false;
  if (mainErrno == ENOENT) {
    *why = path + " does not exist";
    return false;
  }
  if (mainErrno != 0) {
    *why = "cannot open " + path + ": " + std::strerror(mainErrno);
    return false;
  }
  return true;
}

Row rowOf(const OrvMediatorEvent& event) {
  Row row;
  row.eventId = event.eventId;
  if (row.eventId.empty()) {
    OrvMediatorEvent anonymous = event;
    anonymous.eventId.clear();
    // With its context: two records that differ only there are two events.
    const std::string line = anonymous.toJson(true);
    const std::string digest = OrvMD5::hex(line);
    // Without MD5 the line itself still names the content exactly.
    row.eventId = "content-" + (digest.empty() ? line : digest);
  }
  row.appId = event.appId;
  row.name = event.name;
  row.experimentId = columnIdentifier(event.properties["#experiment_id"]);
  row.groupId = columnIdentifier(event.properties["#experiment_group_id"]);
  row.control = event.properties["#is_control_group"].boolValue();
  row.timeMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(event.time.time_since_epoch()).count();
  row.properties = event.properties.isDictionary() ? event.properties.toJson() : "{}";
  // The context as the collector took it (OrvEventCollector checks what it takes).
  if (const OrvValue& unit = event.context["unit"]; unit.isString()) row.unit = unit.stringValue();
  if (const OrvValue& share = event.context["intended_share"];
      share.isNumber() && !share.isBoolean())
    row.intendedShare = share.doubleValue();
  if (const OrvValue& split = event.context["split"]; split.isArray()) row.split = split.toJson();
  // An outcome whose name or value is not what OrvExperiment::track sends is stored all
  // the same, but is in no readout.
  if (row.name == OrvEventStore::kOutcomeEvent) {
    if (const OrvValue& name = event.properties["#outcome"]; name.isString())
      row.outcome = name.stringValue();
    if (const OrvValue& value = event.properties["#value"];
        value.isNumber() && !value.isBoolean() && std::isfinite(value.doubleValue()))
      row.value = value.doubleValue();
  }
  return row;
}

}  // namespace

std::unique_ptr<OrvEventStore> OrvEventStore::open(const std::string& path, std::string* error,
                                                   bool create) {
  std::string why;
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  const bool ok = checkFiles(path, create, &why) && impl->openConnection(&impl->writer, &why) &&
                  impl->prepareSchema(create, &why) && impl->openReader(&why) &&
                  impl->startCheckpointer(&why);
  if (ok) {
    // An older store opened for reading takes no events (add() says so).
    if (impl->schemaVersion != kSchemaVersion)
      return std::unique_ptr<OrvEventStore>(new OrvEventStore(std::move(impl)));
    impl->insert = prepare(impl->writer, kInsertSql);
    if (impl->insert) return std::unique_ptr<OrvEventStore>(new OrvEventStore(std::move(impl)));
  }
  if (why.empty())
    why = impl->sqliteError(impl->reader ? impl->reader : impl->writer, "cannot use");
  if (error) *error = why;
  return nullptr;
}

OrvEventStore::OrvEventStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

OrvEventStore::~OrvEventStore() = default;

bool OrvEventStore::add(const std::vector<OrvMediatorEvent>& events, std::size_t* added,
                        std::string* error) {
  if (!impl_->insert) {
    if (error)
      *error = "cannot store events in " + impl_->path + ": a version-" +
               std::to_string(impl_->schemaVersion) +
               " store opened for reading (open it to write to migrate it)";
    return false;
  }
  std::vector<Row> rows;
  rows.reserve(events.size());
  for (const auto& event : events) rows.push_back(rowOf(event));
  Pending mine;
  mine.rows = &rows;
  if (rows.empty()) {
    mine.ok = true;
  } else {
    std::unique_lock lock(impl_->queueMutex);
    impl_->queue.push_back(&mine);
    while (!mine.done) {
      if (impl_->leading) {
        impl_->stored.wait(lock);
        continue;
      }
      impl_->leading = true;
      std::vector<Pending*> group;
      std::size_t groupRows = 0;
      while (!impl_->queue.empty() && (group.empty() || groupRows < kMaxGroupRows)) {
        group.push_back(impl_->queue.front());
        groupRows += impl_->queue.front()->rows->size();
        impl_->queue.pop_front();
      }
      lock.unlock();
      impl_->storeGroup(group);
      lock.lock();
      impl_->leading = false;
      for (Pending* p : group) p->done = true;
      impl_->stored.notify_all();
    }
  }
  if (!mine.ok) {
    if (error) *error = mine.error;
    return false;
  }
  if (added) *added = mine.added;
  return true;
}
