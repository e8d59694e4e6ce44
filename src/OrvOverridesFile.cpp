#include "OrvOverridesFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "OrvExpLog.h"
#include "OrvExperiment/OrvExperimentConfig.h"
#include "OrvExperimentQueue.h"
#include "OrvFeatureManager.h"
#include "platform/execution/OrvSerialExecutor.h"
#include "platform/files/OrvRegularFile.h"

namespace {

// What tells one version of the file from another without reading it.
struct Signature {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modifiedNs = 0;
  bool operator==(const Signature&) const = default;
};

Signature signatureOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return Signature{true, st.st_dev, st.st_ino, st.st_size,
                   std::int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec};
}

struct WatchState {
  std::mutex mutex;
  // Guarded by mutex. A poll carries the watch number it belongs to and ends when that
  // is no longer the current one.
  std::uint64_t watch = 0;
  std::string path;
  Signature seen;
};

WatchState& state() {
  static WatchState* s = new WatchState();  // never destroyed: polls may outlive main
  return *s;
}

// On the work queue: the file's overrides as they are now, then the table rebuilt with
// them once a configuration is in place (the start's own load comes later otherwise).
void apply(std::uint64_t watch, const std::string& path) {
  {
    std::lock_guard lock(state().mutex);
    if (state().watch != watch) return;
  }
  OrvValue overrides = OrvOverridesFile::read(path);
  auto& manager = OrvFeatureManager::sharedInstance();
  manager.setFileOverrides(std::move(overrides));
  manager.reapplyOverrides();
}

void schedulePoll(std::uint64_t watch) {
  OrvSerialExecutor::background().submitAt(
      std::chrono::steady_clock::now() + OrvExperimentConfig::kOverridesFilePollInterval, [watch] {
        std::string path;
        {
          std::lock_guard lock(state().mutex);
          if (state().watch != watch) return;
          path = state().path;
        }
        const Signature now = signatureOf(path);
        bool changed = false;
        {
          std::lock_guard lock(state().mutex);
          if (state().watch != watch) return;
          changed = !(now == state().seen);
          state().seen = now;
        }
        if (changed) {
          OrvExperimentQueue::sharedInstance().execute([watch, path] {
            try {
              apply(watch, path);
            } catch (const std::exception& e) {
              OrvExpLog::error("cannot load the overrides file %@: %@", path, e.what());
            }
          });
        }
        schedulePoll(watch);
      });
}

}  // namespace

OrvValue OrvOverridesFile::read(const std::string& path) {
  const OrvRegularFile file =
      OrvRegularFile::read(path, OrvExperimentConfig::kMaxOverridesFileBytes, true);
  switch (file.outcome) {
    case OrvRegularFile::Outcome::kRead:
      break;
    case OrvRegularFile::Outcome::kMissing:
      OrvExpLog::info("overrides file %@ does not exist: no overrides", path);
      return OrvValue();
    case OrvRegularFile::Outcome::kTooLarge:
      OrvExpLog::error("overrides file %@ is larger than %@ bytes: no overrides", path,
                       OrvExperimentConfig::kMaxOverridesFileBytes);
      return OrvValue();
    case OrvRegularFile::Outcome::kNotRegular:
      OrvExpLog::error("overrides file %@ is not a regular file: no overrides", path);
      return OrvValue();
    default:
      OrvExpLog::error("cannot read overrides file %@: %@: no overrides", path,
                       std::strerror(file.error));
      return OrvValue();
  }
  OrvValue::ParseResult parsed = OrvValue::parseJson(file.content);
  if (!parsed.ok()) {
    OrvExpLog::error("overrides file %@ is not JSON (%@): no overrides", path, parsed.error);
    return OrvValue();
  }
  if (!parsed.value.isDictionary()) {
    OrvExpLog::error("overrides file %@ does not hold a JSON object: no overrides", path);
    return OrvValue();
  }
  return std::move(parsed.value);
}

void OrvOverridesFile::watch(const std::string& path) {
  std::uint64_t watch = 0;
  {
    std::lock_guard lock(state().mutex);
    watch = ++state().watch;
    state().path = path;
    // Taken before the first read: a change from here on is seen by a poll.
    state().seen = signatureOf(path);
  }
  OrvExperimentQueue::sharedInstance().execute([watch, path] {
    {
      std::lock_guard lock(state().mutex);
      if (state().watch != watch) return;
    }
    // The start's first load, queued behind this, joins them in.
    OrvFeatureManager::sharedInstance().setFileOverrides(read(path));
  });
  schedulePoll(watch);
}

void OrvOverridesFile::rereadNow() {
  std::string path;
  {
    std::lock_guard lock(state().mutex);
    path = state().path;
  }
  if (!path.empty()) OrvFeatureManager::sharedInstance().setFileOverrides(read(path));
}

void OrvOverridesFile::stop() {
  {
    std::lock_guard lock(state().mutex);
    ++state().watch;
    state().path.clear();
    state().seen = Signature{};
  }
  // A start without a file must not keep the last one's entries.
  OrvFeatureManager::sharedInstance().setFileOverrides(OrvValue());
}
