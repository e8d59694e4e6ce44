#include "OrvRCCache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "OrvRCResponse.h"

#include "platform/files/OrvDataDirectory.h"
#include "platform/files/OrvRegularFile.h"
#include "platform/values/OrvMD5.h"

namespace {

constexpr std::size_t kMaxCacheBytes = 256u << 20;  // refuse absurd files instead of reading them

std::string cacheDirectory(const std::string& dataDirectory) {
  return dataDirectory + "/remote_config";
}

// "<32 hex digits>.json.XXXXXX", as store() names its temporary files.
bool isTemporaryName(const std::string& name) {
  if (name.size() != 32 + 5 + 7 || name.compare(32, 6, ".json.") != 0) return false;
  for (std::size_t i = 0; i < 32; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

bool writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string OrvRCCache::path(const std::string& dataDirectory, const std::string& appId,
                             const std::string& templateCode) {
  // A separator that cannot occur in either part keeps ("a","bc") apart from ("ab","c").
  return cacheDirectory(dataDirectory) + "/" +
         OrvMD5::hex(appId + std::string(1, '\0') + templateCode) + ".json";
}

OrvRCCachedPayload OrvRCCache::decode(const std::string& text, const std::string& appId,
                                      const std::string& templateCode, std::string* problem) {
  auto parsed = OrvValue::parseJson(text);
  if (!parsed.ok()) {
    if (problem) *problem = parsed.error;
    return {};
  }
  const OrvValue& v = parsed.value;
  if (!v.isDictionary() || v["app_id"].stringValue() != appId || !v["app_id"].isString() ||
      v["template_code"].stringValue() != templateCode || !v["payload"].isDictionary()) {
    if (problem) *problem = "not a payload cache of this application";
    return {};
  }
  // The ETag goes back to the server in a header: one that could not have come from a
  // response (a line break would add headers of its own) is dropped, the payload kept.
  const std::string& etag = v["etag"].stringValue();
  return {v["payload"], OrvRCResponse::isValidEtag(etag) ? etag : std::string()};
}

OrvRCCachedPayload OrvRCCache::load(const std::string& dataDirectory, const std::string& appId,
                                    const std::string& templateCode, std::string* problem) {
  const std::string file = path(dataDirectory, appId, templateCode);
  struct stat dir {};
  if (::lstat(cacheDirectory(dataDirectory).c_str(), &dir) != 0) return {};  // no cache yet
  if (!OrvDataDirectory::ensureUsable(dataDirectory, problem) ||
      !OrvDataDirectory::isSafe(cacheDirectory(dataDirectory), problem)) {
    return {};
  }
  // Our own file or nothing: never follow a link planted in its place, never wait in
  // open() for a FIFO's writer, never read anything but a regular file.
  OrvRegularFile read = OrvRegularFile::read(file, kMaxCacheBytes, false);
  switch (read.outcome) {
    case OrvRegularFile::Outcome::kRead:
      break;
    case OrvRegularFile::Outcome::kMissing:
      return {};
    case OrvRegularFile::Outcome::kCannotOpen:
      if (problem) *problem = "cannot open " + file + ": " + std::strerror(read.error);
      return {};
    case OrvRegularFile::Outcome::kNotRegular:
      if (problem) *problem = file + " is not a regular file";
      return {};
    case OrvRegularFile::Outcome::kTooLarge:
      if (problem) *problem = file + " is too large to be a payload cache";
      return {};
    case OrvRegularFile::Outcome::kCannotRead:
      if (problem) *problem = "cannot read " + file + ": " + std::strerror(read.error);
      return {};
  }
  const std::string& text = read.content;
  std::string why;
  OrvRCCachedPayload cached = decode(text, appId, templateCode, &why);
  if (cached.payload.isAbsent() && problem) *problem = "damaged cache " + file + ": " + why;
  return cached;
}

bool OrvRCCache::store(const std::string& dataDirectory, const std::string& appId,
                       const std::string& templateCode, const OrvRCCachedPayload& cached,
                       std::string* problem) {
  const std::string dir = cacheDirectory(dataDirectory);
  if (!OrvDataDirectory::ensureUsable(dataDirectory, problem) ||
      !OrvDataDirectory::ensureExists(dir, problem)) {
    return false;
  }
  const std::string file = path(dataDirectory, appId, templateCode);
  std::string temp = file + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());  // owner-only
  if (fd < 0) {
    if (problem) *problem = "cannot create a file in " + dir + ": " + std::strerror(errno);
    return false;
  }
  const std::string text = OrvValue::dictionary({{"app_id", OrvValue(appId)},
                                                 {"template_code", OrvValue(templateCode)},
                                                 {"etag", OrvValue(cached.etag)},
                                                 {"payload", cached.payload}})
                               .toJson();
  const bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
  const int savedErrno = errno;
  ::close(fd);
  if (!ok || ::rename(temp.c_str(), file.c_str()) != 0) {
    if (problem) *problem = "cannot write " + file + ": " + std::strerror(ok ? errno : savedErrno);
    ::unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable.
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

int OrvRCCache::removeStaleTemporaries(const std::string& dataDirectory) {
  const std::string dir = cacheDirectory(dataDirectory);
  if (OrvDataDirectory::isRefused(dataDirectory) || !OrvDataDirectory::isSafe(dir, nullptr))
    return 0;
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirFd < 0) return 0;
  std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(dirFd), &::closedir);
  if (!entries) {
    ::close(dirFd);
    return 0;
  }
  const std::time_t staleBefore = std::time(nullptr) - kStaleTemporaryAgeSeconds;
  int removed = 0;
  while (const dirent* entry = ::readdir(entries.get())) {
    const std::string name = entry->d_name;
    struct stat st {};
    if (!isTemporaryName(name) || ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || st.st_mtime >= staleBefore) {
      continue;
    }
    removed += ::unlinkat(dirFd, name.c_str(), 0) == 0;
  }
  return removed;
}
