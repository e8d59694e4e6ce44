#include "OrvRCResponse.h"

#include <algorithm>
#include <cctype>

#include "OrvRemoteConfig.h"
#include "platform/network/OrvHttpClient.h"

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// A short, printable excerpt of a body for failure messages.
std::string excerpt(const std::string& body) {
  std::string out;
  for (char c : body.substr(0, 120)) out += (c >= 0x20 && c < 0x7F) ? c : ' ';
  return std::string(trim(out));
}

}  // namespace

bool OrvRCResponse::isValidEtag(std::string_view value) {
  return value.size() <= 256 && std::none_of(value.begin(), value.end(), [](char c) {
           return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F;
         });
}

std::string OrvRCResponse::etag(const std::vector<std::string>& headerLines) {
  std::string found;
  for (std::string& value : OrvHttpClient::headerValues(headerLines, "ETag")) {
    if (isValidEtag(value)) found = std::move(value);
  }
  return found;
}

OrvRCFetchOutcome OrvRCResponse::interpret(const OrvRCRawResponse& raw) {
  OrvRCFetchOutcome outcome;
  if (raw.status == 429 || raw.status == 503)
    outcome.retryAfter = OrvHttpClient::retryAfter(raw.headerLines);
  if (raw.status == 200 || raw.status == 304)
    outcome.maxAge = OrvHttpClient::maxAge(raw.headerLines);
  if (raw.transportError != 0) {
    outcome.code = raw.transportError;
    outcome.message = raw.transportMessage.empty() ? "transport error" : raw.transportMessage;
    return outcome;
  }
  if (raw.status < 100 || raw.status > 599) {
    // Not an HTTP status: report it as a transport failure, never as code 0 or a
    // value that could pass for one of the component's own codes.
    outcome.code = OrvRemoteConfig::kErrorTransport;
    outcome.message = "invalid HTTP status " + std::to_string(raw.status);
    return outcome;
  }
  if (raw.status == 304) {
    outcome.success = true;
    outcome.notModified = true;
    return outcome;
  }
  if (raw.status != 200) {
    outcome.code = raw.status;
    outcome.message = "HTTP " + std::to_string(raw.status);
    const std::string body = excerpt(raw.body);
    if (!body.empty()) outcome.message += ": " + body;
    return outcome;
  }
  auto parsed = OrvValue::parseJson(raw.body);
  if (parsed.tooCostly) {
    outcome.code = OrvRemoteConfig::kErrorPayloadTooCostly;
    outcome.message = "response body too costly to load: " + parsed.error;
    return outcome;
  }
  if (!parsed.ok()) {
    outcome.code = OrvRemoteConfig::kErrorMalformedBody;
    outcome.message = "response body is not JSON: " + parsed.error;
    return outcome;
  }
  if (!parsed.value.isDictionary()) {
    outcome.code = OrvRemoteConfig::kErrorNotAnObject;
    outcome.message = "response body is JSON but not an object";
    return outcome;
  }
  outcome.success = true;
  outcome.payload = std::move(parsed.value);
  outcome.etag = etag(raw.headerLines);
  return outcome;
}
