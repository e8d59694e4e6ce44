// The directory of payloads `orvexp serve --dir DIR` serves, and the rules for reading
// it: each application's payload for a template code lives at
// "DIR/<app_id>/<template_code>.json"; an identifier is looked up only when it consists
// of letters, digits, ".", "_" and "-" and does not start with ".", so no request can
// name a path outside DIR; only regular files inside DIR are read (a symbolic link only
// while it leads to one there), without blocking and up to kMaxPayloadBytes.
//
// Shared by the server (which answers fetches from it) and the split check (which reads
// the intended split from the payload being served), so both read the same file the same
// way. Stateless and thread-safe.
#pragma once

#include <cstddef>
#include <string>

class OrvPayloadDirectory {
 public:
  static constexpr std::size_t kMaxPayloadBytes = 32u << 20;

  // Where the payload of an application and template code lives.
  static std::string payloadPath(const std::string& directory, const std::string& appId,
                                 const std::string& templateCode);
  static bool isSafeIdentifier(const std::string& id);
  // A payload file as the server reads it (see above). Returns the HTTP status it calls
  // for: 200 with `*content`, 404 when there is no such file in `directory`, 500 with
  // `*problem` (too large, unreadable).
  static int readPayloadFile(const std::string& directory, const std::string& file,
                             std::string* content, std::string* problem);
};
