// Turns a raw answer into a fetch outcome: a new payload, "not modified", or a failure
// with its code and message. Pure; safe on any input (fuzzed).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "OrvExperiment/OrvValue.h"
#include "OrvRCTransport.h"

struct OrvRCFetchOutcome {
  bool success = false;
  bool notModified = false;  // success that keeps the cached payload
  OrvValue payload;          // the new payload (a dictionary) on a 200
  std::string etag;
  std::int64_t code = 0;  // on failure
  std::string message;
  // What the server said about the next fetch; negative when it said nothing.
  std::chrono::milliseconds retryAfter{-1};  // Retry-After (on 429 and 503)
  std::chrono::milliseconds maxAge{-1};      // Cache-Control: max-age (on success)
};

class OrvRCResponse {
 public:
  OrvRCResponse() = delete;
  static OrvRCFetchOutcome interpret(const OrvRCRawResponse& raw);
  // The ETag of the last header block (after redirects or 100-continue), or "".
  static std::string etag(const std::vector<std::string>& headerLines);
  // Whether a value may be sent back in If-None-Match: visible ASCII (no CR, LF or other
  // control character that could end the header line) and at most 256 bytes.
  static bool isValidEtag(std::string_view value);
};
