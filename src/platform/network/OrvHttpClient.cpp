#include "platform/network/OrvHttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>

#include "platform/execution/OrvProcessLifetime.h"
#include "platform/network/OrvSdkVersion.h"

namespace {

struct Transfer {
  std::string body;
  std::vector<std::string> headerLines;
  std::size_t maxBodyBytes = 0;
  bool truncate = false;
  bool tooLarge = false;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  if (transfer->body.size() + n > transfer->maxBodyBytes) {
    if (transfer->truncate)
      transfer->body.append(data, transfer->maxBodyBytes - transfer->body.size());
    transfer->tooLarge = true;
    return 0;  // aborts the transfer: memory stays bounded whatever the server sends
  }
  transfer->body.append(data, n);
  return n;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  if (transfer->headerLines.size() < 256) transfer->headerLines.emplace_back(data, n);
  return n;
}

// Transfers under way, so that exit can cut them short. Leaked: used by the exit handler.
struct ActiveTransfers {
  std::mutex mutex;
  std::set<CURLM*> multis;  // guarded by mutex
};

ActiveTransfers& activeTransfers() {
  static ActiveTransfers* active = [] {
    auto* a = new ActiveTransfers();
    OrvProcessLifetime::addAbortHook([a] {
      std::lock_guard lock(a->mutex);
      for (CURLM* multi : a->multis) curl_multi_wakeup(multi);
    });
    return a;
  }();
  return *active;
}

// Registers a transfer for the abort at exit; false when exit has already begun. The
// exit flag is set before the abort hook takes the mutex, so a transfer either is
// registered in time to be woken or sees the flag here.
bool beginTransfer(CURLM* multi) {
  auto& active = activeTransfers();
  std::lock_guard lock(active.mutex);
  if (OrvProcessLifetime::exiting()) return false;
  active.multis.insert(multi);
  return true;
}

// After this returns, exit no longer touches `multi`, so it may be cleaned up.
void endTransfer(CURLM* multi) {
  auto& active = activeTransfers();
  std::lock_guard lock(active.mutex);
  active.multis.erase(multi);
}

// Runs one easy handle to completion on a multi handle of its own, so that the wait
// can be interrupted at exit.
CURLcode perform(CURL* easy, bool* aborted) {
  struct MultiDeleter {
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
  };
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!multi) return CURLE_OUT_OF_MEMORY;
  if (curl_multi_add_handle(multi.get(), easy) != CURLM_OK) return CURLE_FAILED_INIT;
  CURLcode result = CURLE_OK;
  if (!beginTransfer(multi.get())) {
    *aborted = true;
  } else {
    for (;;) {
      int running = 0;
      if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
        result = CURLE_FAILED_INIT;
        break;
      }
      if (running == 0) {
        int queued = 0;
        CURLMsg* message = curl_multi_info_read(multi.get(), &queued);
        result = message && message->msg == CURLMSG_DONE ? message->data.result : CURLE_RECV_ERROR;
        break;
      }
      if (OrvProcessLifetime::exiting()) {
        *aborted = true;
        break;
      }
      if (curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr) != CURLM_OK) {
        result = CURLE_FAILED_INIT;
        break;
      }
    }
    endTransfer(multi.get());
  }
  curl_multi_remove_handle(multi.get(), easy);
  return result;
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

std::string OrvHttpClient::withLowerCaseScheme(std::string url) {
  const std::size_t end = url.find("://");
  for (std::size_t i = 0; end != std::string::npos && i < end; ++i)
    url[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(url[i])));
  return url;
}

std::string OrvHttpClient::urlProblem(const std::string& url) {
  const std::string normal = withLowerCaseScheme(url);
  std::size_t hostStart;
  if (normal.rfind("http://", 0) == 0) {
    hostStart = 7;
  } else if (normal.rfind("https://", 0) == 0) {
    hostStart = 8;
  } else {
    return "not an http:// or https:// URL";
  }
  // Without a host, libcurl would take the first path segment for one.
  if (hostStart >= normal.size() || std::strchr("/:?#", normal[hostStart]))
    return "no host in the URL";
  return "";
}

OrvHttpResponse OrvHttpClient::send(const OrvHttpRequest& request) {
  using Error = OrvHttpResponse::Error;
  OrvHttpResponse response;
  if (const std::string problem = urlProblem(request.url); !problem.empty()) {
    response.error = Error::kBadUrl;
    response.errorMessage = problem + ": \"" + request.url + "\"";
    return response;
  }
  const std::string url = withLowerCaseScheme(request.url);
  // libcurl's global state (after OpenSSL's, on our terms) is set up there, once.
  OrvProcessLifetime::initialise();
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) {
    response.error = Error::kTransport;
    response.errorMessage = "cannot create an HTTP client";
    return response;
  }
  std::unique_ptr<curl_slist, SlistDeleter> headers;
  for (const auto& h : request.headers)
    headers.reset(curl_slist_append(headers.release(), h.c_str()));

  Transfer transfer;
  transfer.maxBodyBytes = request.maxResponseBytes;
  transfer.truncate = request.truncateLargeBody;
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  // An aborted transfer must not wait for a name resolution thread at exit.
  curl_easy_setopt(c, CURLOPT_QUICK_EXIT, 1L);
  if (request.method == "POST") {
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  } else if (request.method != "GET") {
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  if (request.acceptCompressed) curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(c, CURLOPT_USERAGENT, "OrvExperiment/" ORV_SDK_VERSION);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, request.connectTimeoutMs);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, request.totalTimeoutMs);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!request.truncateLargeBody)
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(request.maxResponseBytes));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &onBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &onHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);

  bool aborted = false;
  const CURLcode rc = perform(c, &aborted);
  if (aborted) {
    response.error = Error::kAborted;
    response.errorMessage = "aborted: the process is exiting";
    return response;
  }
  if (rc == CURLE_WRITE_ERROR && transfer.tooLarge && request.truncateLargeBody) {
    // Stopped on purpose after the prefix the caller wants: the answer stands.
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.status);
    response.headerLines = std::move(transfer.headerLines);
    response.body = std::move(transfer.body);
    response.bodyTruncated = true;
    return response;
  }
  if (rc != CURLE_OK) {
    const std::string detail = errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc);
    if (transfer.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
      response.error = Error::kTooLarge;
      response.errorMessage =
          "response body larger than " + std::to_string(request.maxResponseBytes) + " bytes";
    } else if (rc == CURLE_OPERATION_TIMEDOUT) {
      response.error = Error::kTimeout;
      response.errorMessage = "timed out: " + detail;
    } else {
      response.error = Error::kTransport;
      response.errorMessage = detail;
    }
    return response;
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.status);
  response.headerLines = std::move(transfer.headerLines);
  response.body = std::move(transfer.body);
  return response;
}

namespace {

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> OrvHttpClient::headerValues(const std::vector<std::string>& headerLines,
                                                     std::string_view name) {
  std::vector<std::string> found;
  for (const auto& line : headerLines) {
    if (startsWithNoCase(line, "HTTP/")) found.clear();  // a new header block begins
    if (line.size() <= name.size() || line[name.size()] != ':' || !startsWithNoCase(line, name))
      continue;
    std::string_view value = std::string_view(line).substr(name.size() + 1);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())))
      value.remove_prefix(1);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
      value.remove_suffix(1);
    found.emplace_back(value);
  }
  return found;
}

std::string OrvHttpClient::header(const std::vector<std::string>& headerLines,
                                  std::string_view name) {
  std::vector<std::string> values = headerValues(headerLines, name);
  return values.empty() ? std::string() : std::move(values.back());
}

namespace {

// Seconds given as decimal digits (non-empty), at most `ceiling`: past it the exact
// number does not matter, and may not fit 64 bits.
std::chrono::seconds secondsUpTo(const std::string& digits, std::chrono::seconds ceiling) {
  if (digits.size() > 9) return ceiling;
  return std::min(std::chrono::seconds(std::stoll(digits)), ceiling);
}

}  // namespace

std::chrono::milliseconds OrvHttpClient::retryAfter(const std::vector<std::string>& headerLines) {
  using std::chrono::milliseconds;
  const std::string value = header(headerLines, "Retry-After");
  if (value.empty()) return milliseconds(-1);
  const auto ceiling = std::chrono::duration_cast<std::chrono::seconds>(kMaxRetryAfter).count();
  if (value.find_first_not_of("0123456789") == std::string::npos)
    return secondsUpTo(value, kMaxRetryAfter);
  std::tm tm{};
  const char* end = strptime(value.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &tm);
  if (!end || *end != '\0') return milliseconds(-1);
  // In seconds, as time_t, before any conversion to the clock's finer ticks: a date in
  // the year 9999 overflows nanoseconds.
  const long long at = static_cast<long long>(timegm(&tm));
  const long long now = static_cast<long long>(std::time(nullptr));
  if (at <= now) return milliseconds(0);
  return std::chrono::seconds(std::min<long long>(at - now, ceiling));
}

std::chrono::milliseconds OrvHttpClient::retryDelay(std::chrono::milliseconds backoff,
                                                    std::chrono::milliseconds retryAfter) {
  return std::max(backoff, std::min<std::chrono::milliseconds>(retryAfter, kMaxRetryAfter));
}

std::chrono::milliseconds OrvHttpClient::maxAge(const std::vector<std::string>& headerLines) {
  const std::string value = header(headerLines, "Cache-Control");
  const auto at = value.find("max-age=");
  if (at == std::string::npos) return std::chrono::milliseconds(-1);
  const std::string digits =
      value.substr(at + 8, value.find_first_not_of("0123456789", at + 8) - (at + 8));
  if (digits.empty()) return std::chrono::milliseconds(-1);
  return secondsUpTo(digits, kMaxMaxAge);
}

std::string OrvHttpClient::sameOriginRedirect(const std::string& url, const std::string& location,
                                              std::string* why) {
  struct UrlDeleter {
    void operator()(CURLU* u) const { curl_url_cleanup(u); }
  };
  const auto part = [](CURLU* u, CURLUPart which, unsigned flags) {
    char* text = nullptr;
    std::string out;
    if (curl_url_get(u, which, &text, flags) == CURLUE_OK && text) out = text;
    curl_free(text);
    return out;
  };
  std::unique_ptr<CURLU, UrlDeleter> from(curl_url()), to(curl_url());
  if (!from || !to || location.empty() ||
      curl_url_set(from.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_set(to.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      // Relative to the URL asked, as a browser resolves it.
      curl_url_set(to.get(), CURLUPART_URL, location.c_str(), 0) != CURLUE_OK) {
    if (why) *why = "a redirect to \"" + location + "\" that is no URL";
    return "";
  }
  for (const CURLUPart which : {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT}) {
    if (part(from.get(), which, CURLU_DEFAULT_PORT) != part(to.get(), which, CURLU_DEFAULT_PORT)) {
      if (why)
        *why = "a redirect to " + part(to.get(), CURLUPART_URL, 0) +
               ", another scheme, host or port, which is not followed";
      return "";
    }
  }
  return part(to.get(), CURLUPART_URL, 0);
}
