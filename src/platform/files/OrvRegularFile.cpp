#include "platform/files/OrvRegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

OrvRegularFile OrvRegularFile::read(const std::string& path, std::size_t limit, bool followLinks) {
  OrvRegularFile file;
  const int fd =
      ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    file.error = errno;
    file.outcome = errno == ENOENT ? Outcome::kMissing : Outcome::kCannotOpen;
    return file;
  }
  struct Close {
    int fd;
    ~Close() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    file.outcome = Outcome::kNotRegular;
    return file;
  }
  if (static_cast<std::uint64_t>(st.st_size) > limit) {
    file.outcome = Outcome::kTooLarge;
    return file;
  }
  // Sized once from fstat(), with room to spare (for a JSON parser's padding, say): no
  // reallocation, and no copy, while a file of the size it had is read. One that grows
  // meanwhile still reads to its end, up to the limit.
  file.content.reserve(static_cast<std::size_t>(st.st_size) + kSpareCapacity);
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      file.error = errno;
      file.outcome = Outcome::kCannotRead;
      file.content.clear();
      return file;
    }
    if (n == 0) return file;
    file.content.append(buffer, static_cast<std::size_t>(n));
    if (file.content.size() > limit) {  // it grew while it was read
      file.outcome = Outcome::kTooLarge;
      file.content.clear();
      return file;
    }
  }
}
