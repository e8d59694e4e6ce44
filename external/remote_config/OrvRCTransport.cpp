#include "OrvRCTransport.h"

#include <curl/curl.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#include "OrvRemoteConfig.h"
#include "platform/OrvProcessLifetime.h"

namespace {

struct Transfer {
  std::string body;
  std::vector<std::string> headerLines;
  std::size_t maxBodyBytes = 0;
  bool tooLarge = false;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  if (transfer->body.size() + n > transfer->maxBodyBytes) {
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

OrvRCRawResponse fileError(std::int64_t code, std::string message) {
  OrvRCRawResponse response;
  response.transportError = code;
  response.transportMessage = std::move(message);
  return response;
}

OrvRCRawResponse fromFile(const OrvRCRequest& request) {
  const std::string path = request.serverUrl.substr(std::strlen("file://"));
  // O_NONBLOCK: opening a FIFO or a device must never wait for a peer. Anything but a
  // regular file (after following links) is refused before a byte is read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return fileError(OrvRemoteConfig::kErrorFile,
                     "cannot open " + path + ": " + std::strerror(errno));
  }
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return fileError(OrvRemoteConfig::kErrorFile, path + " is not a regular file");
  }
  if (static_cast<std::uint64_t>(st.st_size) > request.maxBodyBytes) {
    return fileError(OrvRemoteConfig::kErrorBodyTooLarge,
                     path + " is larger than " + std::to_string(request.maxBodyBytes) + " bytes");
  }
  OrvRCRawResponse response;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      return fileError(OrvRemoteConfig::kErrorFile,
                       "cannot read " + path + ": " + std::strerror(errno));
    }
    if (n == 0) break;
    response.body.append(buffer, static_cast<std::size_t>(n));
    if (response.body.size() > request.maxBodyBytes) {  // grew while we read it
      return fileError(OrvRemoteConfig::kErrorBodyTooLarge,
                       path + " is larger than " + std::to_string(request.maxBodyBytes) + " bytes");
    }
  }
  response.status = 200;
  return response;
}

// Transfers under way, so that exit can cut them short. A transfer waits in
// curl_multi_poll; curl_multi_wakeup (thread-safe) ends that wait, and the transfer
// then sees that the process is exiting and gives up. Leaked: used by the exit handler.
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
// can be interrupted at exit. Returns the transfer's result.
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

// The URL with its scheme in lower case (schemes are case-insensitive), and the scheme
// alone; both empty when there is no "scheme://".
std::pair<std::string, std::string> normalizedUrl(const std::string& url) {
  const std::size_t end = url.find("://");
  if (end == std::string::npos) return {};
  std::string normal = url;
  for (std::size_t i = 0; i < end; ++i)
    normal[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(normal[i])));
  return {normal, normal.substr(0, end)};
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

OrvRCRawResponse OrvRCTransport::fetch(const OrvRCRequest& request) {
  const auto [normalUrl, scheme] = normalizedUrl(request.serverUrl);
  if (scheme == "file") return fromFile(request);

  OrvRCRawResponse response;
  if (scheme != "http" && scheme != "https") {
    response.transportError = OrvRemoteConfig::kErrorBadUrl;
    response.transportMessage = "unsupported server URL \"" + request.serverUrl + "\"";
    return response;
  }
  // Without a host, libcurl would take the first path segment for one.
  const std::size_t hostStart = scheme.size() + 3;
  if (hostStart >= normalUrl.size() || normalUrl[hostStart] == '/' || normalUrl[hostStart] == ':' ||
      normalUrl[hostStart] == '?' || normalUrl[hostStart] == '#') {
    response.transportError = OrvRemoteConfig::kErrorBadUrl;
    response.transportMessage = "no host in server URL \"" + request.serverUrl + "\"";
    return response;
  }
  static std::once_flag globalInit;
  std::call_once(globalInit, [] {
    OrvProcessLifetime::initialise();  // OpenSSL first, on our terms (see there)
    curl_global_init(CURL_GLOBAL_DEFAULT);
  });

  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) {
    response.transportError = OrvRemoteConfig::kErrorTransport;
    response.transportMessage = "cannot create an HTTP client";
    return response;
  }
  std::string url = normalUrl;
  while (!url.empty() && url.back() == '/') url.pop_back();
  url += OrvRemoteConfig::kFetchPath;

  std::unique_ptr<curl_slist, SlistDeleter> headers;
  auto addHeader = [&headers](const std::string& h) {
    headers.reset(curl_slist_append(headers.release(), h.c_str()));
  };
  addHeader("Content-Type: application/json");
  addHeader("Accept: application/json");
  if (!request.etag.empty()) addHeader("If-None-Match: " + request.etag);

  Transfer transfer;
  transfer.maxBodyBytes = request.maxBodyBytes;
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  // An aborted transfer must not wait for a name resolution thread at exit.
  curl_easy_setopt(c, CURLOPT_QUICK_EXIT, 1L);
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body.c_str());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING,
                   "");  // every encoding libcurl decodes (gzip included)
  curl_easy_setopt(c, CURLOPT_USERAGENT, "OrvExperiment/1.0.2");
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, request.connectTimeoutMs);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, request.totalTimeoutMs);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxBodyBytes));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &onBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &onHeader);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);

  bool aborted = false;
  const CURLcode rc = perform(c, &aborted);
  if (aborted) {
    response.transportError = OrvRemoteConfig::kErrorTransport;
    response.transportMessage = "aborted: the process is exiting";
    return response;
  }
  if (rc != CURLE_OK) {
    const std::string detail = errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc);
    if (transfer.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
      response.transportError = OrvRemoteConfig::kErrorBodyTooLarge;
      response.transportMessage =
          "response body larger than " + std::to_string(request.maxBodyBytes) + " bytes";
    } else if (rc == CURLE_OPERATION_TIMEDOUT) {
      response.transportError = OrvRemoteConfig::kErrorTimeout;
      response.transportMessage = "timed out: " + detail;
    } else {
      response.transportError = OrvRemoteConfig::kErrorTransport;
      response.transportMessage = detail;
    }
    return response;
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  response.status = status;
  response.headerLines = std::move(transfer.headerLines);
  response.body = std::move(transfer.body);
  return response;
}
