// The on-disk cache of one (application identifier, template code) payload, under
// "<data directory>/remote_config/". The file name is the MD5 of the pair, so no
// identifier can name a path; the pair is also stored in the file and checked on load.
// Writes are atomic (temporary file, fsync, rename). Nothing is read from or written to
// a data directory or cache directory that OrvDataDirectory refuses (a symbolic link,
// another user's, or writable by others), and the cache file itself is never followed
// as a link. Stateless; thread-safe.
#pragma once

#include <string>

#include "OrvExperiment/OrvValue.h"

struct OrvRCCachedPayload {
  OrvValue payload;  // a dictionary, or absent when there is no usable cache
  std::string etag;
};

class OrvRCCache {
 public:
  OrvRCCache() = delete;

  static std::string path(const std::string& dataDirectory, const std::string& appId,
                          const std::string& templateCode);

  // A missing cache gives an absent payload silently; a damaged or unreadable one
  // gives an absent payload and `*problem` says why.
  static OrvRCCachedPayload load(const std::string& dataDirectory, const std::string& appId,
                                 const std::string& templateCode, std::string* problem);

  // Parses a cache file's text; exposed for the fuzzer and tests.
  static OrvRCCachedPayload decode(const std::string& text, const std::string& appId,
                                   const std::string& templateCode, std::string* problem);

  static bool store(const std::string& dataDirectory, const std::string& appId,
                    const std::string& templateCode, const OrvRCCachedPayload& cached,
                    std::string* problem);

  // Removes temporary files of cache writes that never finished (a process killed
  // mid-write, a failed write whose clean-up failed too) and are older than
  // kStaleTemporaryAge, so that a write under way in another process is left alone.
  // Returns how many it removed.
  static int removeStaleTemporaries(const std::string& dataDirectory);
  static constexpr int kStaleTemporaryAgeSeconds = 600;
};
