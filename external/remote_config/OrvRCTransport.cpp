#include "OrvRCTransport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <utility>

#include "OrvRemoteConfig.h"
#include "platform/files/OrvRegularFile.h"
#include "platform/network/OrvHttpClient.h"

namespace {

OrvRCRawResponse fileError(std::int64_t code, std::string message) {
  OrvRCRawResponse response;
  response.transportError = code;
  response.transportMessage = std::move(message);
  return response;
}

OrvRCRawResponse fromFile(const OrvRCRequest& request) {
  const std::string path = request.serverUrl.substr(std::strlen("file://"));
  OrvRegularFile file = OrvRegularFile::read(path, request.maxBodyBytes, true);
  switch (file.outcome) {
    case OrvRegularFile::Outcome::kRead:
      break;
    case OrvRegularFile::Outcome::kMissing:
    case OrvRegularFile::Outcome::kCannotOpen:
      return fileError(OrvRemoteConfig::kErrorFile,
                       "cannot open " + path + ": " + std::strerror(file.error));
    case OrvRegularFile::Outcome::kNotRegular:
      return fileError(OrvRemoteConfig::kErrorFile, path + " is not a regular file");
    case OrvRegularFile::Outcome::kTooLarge:
      return fileError(OrvRemoteConfig::kErrorBodyTooLarge,
                       path + " is larger than " + std::to_string(request.maxBodyBytes) + " bytes");
    case OrvRegularFile::Outcome::kCannotRead:
      return fileError(OrvRemoteConfig::kErrorFile,
                       "cannot read " + path + ": " + std::strerror(file.error));
  }
  OrvRCRawResponse response;
  response.status = 200;
  response.body = std::move(file.content);
  return response;
}

// True when `url`'s path ends in ".json": it names the payload itself.
bool namesPayloadFile(const std::string& url) {
  const std::string path = url.substr(0, url.find_first_of("?#"));
  return path.size() > 5 && path.compare(path.size() - 5, 5, ".json") == 0;
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
  if (namesPayloadFile(http.url)) {
    // A static file (a CDN, a bucket, any web server): fetched as it stands, with no
    // request body; the library resolves the weighted groups it declares.
    http.method = "GET";
    http.headers = {"Accept: application/json"};
  } else {
    while (!http.url.empty() && http.url.back() == '/') http.url.pop_back();
    http.url += OrvRemoteConfig::kFetchPath;
    http.headers = {"Content-Type: application/json", "Accept: application/json"};
    http.body = request.body;
  }
  if (!request.etag.empty()) http.headers.push_back("If-None-Match: " + request.etag);
  http.headers.insert(http.headers.end(), request.headers.begin(), request.headers.end());
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
