#include "OrvRCCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/OrvDataDirectory.h"
#include "platform/OrvMD5.h"

namespace {

constexpr std::size_t kMaxCacheBytes = 256u << 20;  // refuse absurd files instead of reading them

std::string cacheDirectory(const std::string& dataDirectory) {
  return dataDirectory + "/remote_config";
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
  return {v["payload"], v["etag"].stringValue()};
}

OrvRCCachedPayload OrvRCCache::load(const std::string& dataDirectory, const std::string& appId,
                                    const std::string& templateCode, std::string* problem) {
  const std::string file = path(dataDirectory, appId, templateCode);
  // Our own file or nothing: never follow a link planted in its place, never wait in
  // open() for a FIFO's writer, never read anything but a regular file.
  const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT && problem) *problem = "cannot open " + file + ": " + std::strerror(errno);
    return {};
  }
  std::string text;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    if (problem) *problem = file + " is not a regular file";
    return {};
  }
  if (static_cast<std::size_t>(st.st_size) > kMaxCacheBytes) {
    ::close(fd);
    if (problem) *problem = file + " is too large to be a payload cache";
    return {};
  }
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      if (problem) *problem = "cannot read " + file + ": " + std::strerror(errno);
      return {};
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxCacheBytes) break;
  }
  ::close(fd);
  std::string why;
  OrvRCCachedPayload cached = decode(text, appId, templateCode, &why);
  if (cached.payload.isAbsent() && problem) *problem = "damaged cache " + file + ": " + why;
  return cached;
}

bool OrvRCCache::store(const std::string& dataDirectory, const std::string& appId,
                       const std::string& templateCode, const OrvRCCachedPayload& cached,
                       std::string* problem) {
  const std::string dir = cacheDirectory(dataDirectory);
  if (!OrvDataDirectory::ensureExists(dir, problem)) return false;
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
