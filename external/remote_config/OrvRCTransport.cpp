#include "OrvRCTransport.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>

#include "OrvRemoteConfig.h"

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

OrvRCRawResponse fromFile(const OrvRCRequest& request) {
  OrvRCRawResponse response;
  const std::string path = request.serverUrl.substr(std::strlen("file://"));
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    response.transportError = OrvRemoteConfig::kErrorFile;
    response.transportMessage = "cannot open " + path + ": " + std::strerror(errno);
    return response;
  }
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    response.body.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (response.body.size() > request.maxBodyBytes) {
      response.transportError = OrvRemoteConfig::kErrorBodyTooLarge;
      response.transportMessage =
          path + " is larger than " + std::to_string(request.maxBodyBytes) + " bytes";
      response.body.clear();
      return response;
    }
  }
  if (in.bad()) {
    response.transportError = OrvRemoteConfig::kErrorFile;
    response.transportMessage = "cannot read " + path;
    response.body.clear();
    return response;
  }
  response.status = 200;
  return response;
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

}  // namespace

OrvRCRawResponse OrvRCTransport::fetch(const OrvRCRequest& request) {
  if (request.serverUrl.rfind("file://", 0) == 0) return fromFile(request);

  OrvRCRawResponse response;
  if (request.serverUrl.rfind("http://", 0) != 0 && request.serverUrl.rfind("https://", 0) != 0) {
    response.transportError = OrvRemoteConfig::kErrorBadUrl;
    response.transportMessage = "unsupported server URL \"" + request.serverUrl + "\"";
    return response;
  }
  static std::once_flag globalInit;
  std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) {
    response.transportError = OrvRemoteConfig::kErrorTransport;
    response.transportMessage = "cannot create an HTTP client";
    return response;
  }
  std::string url = request.serverUrl;
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

  const CURLcode rc = curl_easy_perform(c);
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
