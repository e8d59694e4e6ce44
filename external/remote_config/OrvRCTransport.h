// Moves one fetch request to the server and the raw answer back: HTTP(S) through
// libcurl, or a file for "file://" URLs. Knows nothing of payloads; OrvRCResponse
// interprets what comes back. Stateless; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct OrvRCRequest {
  std::string serverUrl;  // "http(s)://host[:port][/base]" or "file://PATH"
  std::string body;       // JSON request body
  std::string etag;       // sent as If-None-Match when not empty
  long connectTimeoutMs = 10'000;
  long totalTimeoutMs = 30'000;
  std::size_t maxBodyBytes = 32u << 20;
  std::vector<std::string> headers;  // "Name: value" lines beyond the protocol's own
};

struct OrvRCRawResponse {
  // Set when nothing usable came back (then `status` is 0): one of the component's
  // negative error codes and a message.
  std::int64_t transportError = 0;
  std::string transportMessage;
  long status = 0;
  std::vector<std::string> headerLines;  // raw, as received
  std::string body;
};

class OrvRCTransport {
 public:
  OrvRCTransport() = delete;
  static OrvRCRawResponse fetch(const OrvRCRequest& request);
};
