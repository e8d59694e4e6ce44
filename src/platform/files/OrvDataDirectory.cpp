#include "platform/files/OrvDataDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/logs/OrvLogChannel.h"

namespace {

struct State {
  std::mutex mutex;
  // Guarded by mutex.
  std::string path;  // empty means the default
  std::set<std::string> refused;
};

State& state() {
  static State* s = new State();
  return *s;
}

std::atomic<const OrvLogChannel*> logChannel{nullptr};

// True when an existing directory above a data directory cannot be used against it:
// anyone who may write there (another user owning it, or everybody, without the sticky
// bit that keeps them to their own entries) could move the data directory away and put
// one of theirs in its place.
bool unsafeAncestor(const std::string& path, std::string* problem) {
  for (std::size_t slash = path.find_last_of('/'); slash != std::string::npos && slash > 0;
       slash = path.find_last_of('/', slash - 1)) {
    const std::string ancestor = path.substr(0, slash);
    struct stat st {};
    if (::stat(ancestor.c_str(), &st) != 0) continue;  // missing: created owner-only later
    const bool othersWrite = (st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_ISVTX) == 0;
    if (othersWrite || (st.st_uid != ::geteuid() && st.st_uid != 0)) {
      *problem = ancestor +
                 (othersWrite ? " is writable by others"
                              : " belongs to another user (uid " + std::to_string(st.st_uid) + ")");
      return true;
    }
  }
  return false;
}

}  // namespace

std::string OrvDataDirectory::perUser(const std::string& name) {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/" + name;
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.local/share/" + name;
  // A shared /tmp lets another user create the name first; the runtime directory is
  // the user's own, when it is what it claims to be (ours, and nobody else's to write).
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  if (runtime && *runtime == '/' && ::lstat(runtime, &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0)
    return std::string(runtime) + "/" + name;
  return "/tmp/" + name + "-" + std::to_string(::getuid());
}

void OrvDataDirectory::set(std::string path) {
  std::lock_guard lock(state().mutex);
  state().path = std::move(path);
}

std::string OrvDataDirectory::get() {
  {
    std::lock_guard lock(state().mutex);
    if (!state().path.empty()) return state().path;
  }
  return perUser("orv-experiment");
}

void OrvDataDirectory::setLogChannel(const OrvLogChannel* log) {
  logChannel.store(log, std::memory_order_release);
}

std::string OrvDataDirectory::ownFileProblem(int fd, const std::string& file, bool tighten) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return "cannot open " + file + ": " + std::strerror(errno);
  if (!S_ISREG(st.st_mode)) {
    const char* kind = S_ISDIR(st.st_mode)                          ? "a directory"
                       : S_ISFIFO(st.st_mode)                       ? "a FIFO"
                       : S_ISSOCK(st.st_mode)                       ? "a socket"
                       : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                                                                    : "something else";
    return file + " is " + kind + ", not a regular file";
  }
  if (st.st_uid != ::geteuid())
    return file + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
  if (tighten && (st.st_mode & 077) != 0 && ::fchmod(fd, st.st_mode & 0700) != 0)
    return "cannot make " + file + " owner-only: " + std::strerror(errno);
  return "";
}

namespace {

// Whether the open file is empty or begins as a SQLite database does.
bool emptyOrSqlite(int fd) {
  static constexpr char kHeader[] = "SQLite format 3";  // and its NUL: 16 bytes
  char head[sizeof kHeader] = {};
  const ssize_t n = ::pread(fd, head, sizeof head, 0);
  return n == 0 ||
         (n == static_cast<ssize_t>(sizeof head) && std::memcmp(head, kHeader, sizeof head) == 0);
}

}  // namespace

bool OrvDataDirectory::checkDatabaseFiles(const std::string& path, bool create, std::string* why,
                                          int* mainErrno) {
  *mainErrno = 0;
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string file = path + suffix;
    int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && !*suffix && create)
      fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == ELOOP) {
        *why = file + " is a symbolic link";
        return false;
      }
      if (!*suffix) *mainErrno = errno;
      continue;
    }
    const std::string problem = ownFileProblem(fd, file, create && (*suffix || emptyOrSqlite(fd)));
    ::close(fd);
    if (!problem.empty()) {
      *why = problem;
      return false;
    }
  }
  return true;
}

bool OrvDataDirectory::isSafe(const std::string& path, std::string* why) {
  struct stat st {};
  std::string problem;
  if (::lstat(path.c_str(), &st) != 0) {
    problem = "cannot use " + path + ": " + std::strerror(errno);
  } else if (S_ISLNK(st.st_mode)) {
    problem = path + " is a symbolic link";
  } else if (!S_ISDIR(st.st_mode)) {
    problem = path + " is not a directory";
  } else if (st.st_uid != ::geteuid()) {
    problem = path + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    problem = path + " is writable by group or others";
  } else if (!unsafeAncestor(path, &problem)) {
    return true;
  }
  if (why) *why = problem;
  return false;
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
  return isSafe(path, why);
}

OrvDataDirectory::Usability OrvDataDirectory::ensureUsable(const std::string& path,
                                                           std::string* why) {
  if (isRefused(path)) {
    if (why) *why = path + " was refused as data directory";
    return {false, true};
  }
  std::string problem;
  if (ensureExists(path, &problem)) return {true, false};
  if (why) *why = problem;
  // Only a directory that exists and is unsafe is refused for good: one that cannot be
  // created yet may be later.
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {false, false};
  bool first = false;
  {
    std::lock_guard lock(state().mutex);
    first = state().refused.insert(path).second;
  }
  const OrvLogChannel* log = logChannel.load(std::memory_order_acquire);
  if (first && log) {
    log->error("refusing data directory %@: %@; keeping everything in memory for this process",
               path, problem);
  }
  return {false, true};
}

bool OrvDataDirectory::isRefused(const std::string& path) {
  std::lock_guard lock(state().mutex);
  return state().refused.count(path) != 0;
}
