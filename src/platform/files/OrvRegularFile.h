// Reading a file that something else may have put in place of the one expected (a
// FIFO, a device, a directory, a link, a file that keeps growing): it is opened without
// blocking (open() never waits for a FIFO's writer), refused before a byte is read
// unless it is a regular file, and read only up to a limit, also when it grows while it
// is read. The one routine behind the file:// transport, the payload cache and the
// reference server; each says what went wrong in its own words. Thread-safe: no state.
#pragma once

#include <cstddef>
#include <string>

struct OrvRegularFile {
  enum class Outcome { kRead, kMissing, kCannotOpen, kNotRegular, kTooLarge, kCannotRead };

  Outcome outcome = Outcome::kRead;
  int error = 0;        // the errno of kMissing, kCannotOpen and kCannotRead
  std::string content;  // the whole file, for kRead

  // Capacity `content` has beyond a file's size: simdjson's padding, so a JSON text read
  // here can be parsed where it is.
  static constexpr std::size_t kSpareCapacity = 64;

  // `followLinks` false: a symbolic link as the last component is kCannotOpen (ELOOP).
  static OrvRegularFile read(const std::string& path, std::size_t limit, bool followLinks);
};
