// One HTTP(S) request through libcurl, cut short at process exit: the transfer waits in
// curl_multi_poll, which the exit handler wakes (see OrvProcessLifetime), so no library
// thread is ever left inside libcurl past exit. TLS peers are verified; redirects are
// not followed; only http and https are spoken. Stateless; thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct OrvHttpRequest {
  std::string url;
  std::string method = "POST";
  std::vector<std::string> headers;  // "Name: value" lines
  std::string body;
  long connectTimeoutMs = 10'000;
  long totalTimeoutMs = 30'000;
  std::size_t maxResponseBytes = 32u << 20;  // decoded; larger bodies fail the request
  // Instead: keep the first maxResponseBytes of a larger body, stop reading there and
  // answer with the status (bodyTruncated set), for callers that need only a prefix.
  bool truncateLargeBody = false;
  bool acceptCompressed = false;  // ask for (and decode) gzip and friends
};

struct OrvHttpResponse {
  enum class Error { kNone, kTransport, kTimeout, kTooLarge, kAborted, kBadUrl };
  Error error = Error::kNone;
  std::string errorMessage;
  long status = 0;
  std::vector<std::string> headerLines;  // raw, as received (at most 256)
  std::string body;
  bool bodyTruncated = false;  // see OrvHttpRequest::truncateLargeBody
};

class OrvHttpClient {
 public:
  OrvHttpClient() = delete;
  // Sends to an http:// or https:// URL with a host (schemes in any case); any other
  // URL fails with kBadUrl and urlProblem()'s reason.
  static OrvHttpResponse send(const OrvHttpRequest& request);

  // `url` with its scheme in lower case (schemes are case-insensitive); unchanged when
  // it has no "scheme://".
  static std::string withLowerCaseScheme(std::string url);
  // "" when send() takes `url`; otherwise what is wrong with it.
  static std::string urlProblem(const std::string& url);

  // The value of the last header `name` (case-insensitive) in the last header block of
  // `headerLines` (after redirects or 100-continue), trimmed; "" when there is none.
  static std::string header(const std::vector<std::string>& headerLines, std::string_view name);
  // Every value of header `name` in that last block, in order, trimmed.
  static std::vector<std::string> headerValues(const std::vector<std::string>& headerLines,
                                               std::string_view name);
  // The longest wait a server's Retry-After is honoured for: a longer one (up to the
  // year 9999) is cut to this, so that no answer can silence a client for good.
  static constexpr std::chrono::hours kMaxRetryAfter{1};
  // The longest Cache-Control max-age a refresh waits for, for the same reason.
  static constexpr std::chrono::hours kMaxMaxAge{24};
  // Retry-After as a delay (delta-seconds or an HTTP date), between 0 and
  // kMaxRetryAfter; negative when absent or malformed.
  static std::chrono::milliseconds retryAfter(const std::vector<std::string>& headerLines);
  // The one rule for waiting after a failure, of every client of ours: the caller's own
  // back-off, lengthened (never shortened) to what a Retry-After asks, as clamped above.
  static std::chrono::milliseconds retryDelay(std::chrono::milliseconds backoff,
                                              std::chrono::milliseconds retryAfter);
  // Cache-Control max-age, at most kMaxMaxAge; negative when absent.
  static std::chrono::milliseconds maxAge(const std::vector<std::string>& headerLines);

  // Where a redirect from `url` to `location` (absolute or relative) leads, when that is
  // the same scheme, host and port; otherwise "" with the reason in `why`.
  static std::string sameOriginRedirect(const std::string& url, const std::string& location,
                                        std::string* why);
};
