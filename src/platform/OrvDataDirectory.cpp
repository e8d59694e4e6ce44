#include "platform/OrvDataDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct State {
  std::mutex mutex;
  std::string path;  // guarded by mutex; empty means the default
};

State& state() {
  static State* s = new State();
  return *s;
}

std::string defaultDirectory() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/orv-experiment";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.local/share/orv-experiment";
  return "/tmp/orv-experiment-" + std::to_string(::getuid());
}

}  // namespace

void OrvDataDirectory::set(std::string path) {
  std::lock_guard lock(state().mutex);
  state().path = std::move(path);
}

std::string OrvDataDirectory::get() {
  {
    std::lock_guard lock(state().mutex);
    if (!state().path.empty()) return state().path;
  }
  return defaultDirectory();
}

bool OrvDataDirectory::ensureExists(const std::string& path, std::string* why) {
  if (path.empty()) {
    if (why) *why = "empty data directory path";
    return false;
  }
  // Create each missing component in turn; new ones are owner-only.
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string prefix = path.substr(0, pos);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      if (why) *why = "cannot create " + prefix + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (why) *why = path + " is not a directory";
    return false;
  }
  return true;
}
