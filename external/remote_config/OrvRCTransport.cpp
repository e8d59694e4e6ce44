#include "OrvRCTransport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <utility>

#include "OrvRemoteConfig.h"
#include "platform/OrvHttpClient.h"

namespace {

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

}  // namespace

OrvRCRawResponse OrvRCTransport::fetch(const OrvRCRequest& request) {
  OrvRCRawResponse response;
  OrvHttpRequest http;
  http.url = OrvHttpClient::withLowerCaseScheme(request.serverUrl);
  if (http.url.rfind("file://", 0) == 0) return fromFile(request);
  if (const std::string problem = OrvHttpClient::urlProblem(http.url); !problem.empty()) {
    response.transportError = OrvRemoteConfig::kErrorBadUrl;
    response.transportMessage = problem + ": server URL \"" + request.serverUrl + "\"";
    return response;
  }
  while (!http.url.empty() && http.url.back() == '/') http.url.pop_back();
  http.url += OrvRemoteConfig::kFetchPath;
  http.headers = {"Content-Type: application/json", "Accept: application/json"};
  if (!request.etag.empty()) http.headers.push_back("If-None-Match: " + request.etag);
  http.body = request.body;
  http.connectTimeoutMs = request.connectTimeoutMs;
  http.totalTimeoutMs = request.totalTimeoutMs;
  http.maxResponseBytes = request.maxBodyBytes;
  http.acceptCompressed = true;  // every encoding libcurl decodes (gzip included)
  OrvHttpResponse answer = OrvHttpClient::send(http);

  using Error = OrvHttpResponse::Error;
  switch (answer.error) {
    case Error::kNone:
      response.status = answer.status;
      response.headerLines = std::move(answer.headerLines);
      response.body = std::move(answer.body);
      return response;
    case Error::kBadUrl:
      response.transportError = OrvRemoteConfig::kErrorBadUrl;
      response.transportMessage = "unsupported server URL \"" + request.serverUrl + "\"";
      return response;
    case Error::kTooLarge:
      response.transportError = OrvRemoteConfig::kErrorBodyTooLarge;
      break;
    case Error::kTimeout:
      response.transportError = OrvRemoteConfig::kErrorTimeout;
      break;
    default:
      response.transportError = OrvRemoteConfig::kErrorTransport;
      break;
  }
  response.transportMessage = answer.errorMessage;
  return response;
}
