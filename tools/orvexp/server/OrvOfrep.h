// Remote evaluation of one application's flags over OFREP (the OpenFeature Remote
// Evaluation Protocol), for `orvexp serve`: POST /ofrep/v1/evaluate/flags/{key} answers
// one flag, POST /ofrep/v1/evaluate/flags every flag of the application. The request
// body is {"context": {"targetingKey": "<unit>", ...}}; the targeting key is the unit,
// and the payload is resolved for it by OrvAssignment and read by OrvFeatureParser, the
// code the library runs on the payloads it loads, so a remote evaluation and the
// library give a unit the same value, group and membership.
//
// A flag's answer: "value" (any JSON value), "reason" "SPLIT" when a group of an
// experiment gave it (with "variant", the group id, and "metadata" {"experiment_id",
// "group_id", "is_control_group"}), "DEFAULT" when an experiment with weighted groups
// lists the flag but the request named no unit (the payload's own value), "STATIC"
// otherwise. Errors: 400 PARSE_ERROR for a body that is not a JSON object, 400
// INVALID_CONTEXT for a "context" that is not an object or a "targetingKey" that is not
// a string, 404 FLAG_NOT_FOUND for a key the payload does not have. A type mismatch is
// the client's to find: the server does not know the type asked for.
//
// A sticky experiment ("#sticky") is resolved as for a unit seen for the first time:
// the server keeps no memory of units, so a change of its weights can move a unit that
// only evaluates remotely.
//
// Thread-safe: pure functions of their arguments.
#pragma once

#include <string>
#include <vector>

#include "OrvExperiment/OrvValue.h"
#include "OrvMediator.h"

namespace OrvOfrep {

constexpr const char* kPath = "/ofrep/v1/evaluate/flags";
// The header that names the application; a path prefix "/apps/<app>" does as well.
constexpr const char* kAppHeader = "X-Orv-App";

struct Answer {
  int status = 200;
  std::string body;  // JSON; empty for a 304
  std::string etag;  // bulk answers only
  // What a single evaluation exposed the unit to (at most one experiment membership),
  // as the library's exposure event for it; see exposureEventId().
  std::vector<OrvMediatorEvent> exposures;
};

// Evaluates `flagKey` (or, with null, every flag) of `payload` (a JSON object whose
// "#groups" declarations have no OrvAssignment::problemOf()) for the request body
// `request`. A bulk answer carries a strong ETag (the MD5 of its body) and is 304 when
// `ifNoneMatch` is that ETag.
Answer evaluate(const OrvValue& payload, const std::string& appId, const std::string* flagKey,
                const std::string& request, const std::string& ifNoneMatch);

// The answer to a request that cannot be evaluated: {"key"?, "errorCode", "errorDetails"}.
Answer error(int status, const std::string* flagKey, const std::string& code,
             const std::string& details);

// The event id of the exposure of `unit` to `group` of `experiment` in `appId`: the same
// for every evaluation that exposes it, so the store keeps one however often the unit
// evaluates. "ofrep-" and the MD5 of the four as a JSON array.
std::string exposureEventId(const std::string& appId, const std::string& unit,
                            const std::string& experiment, const std::string& group);

}  // namespace OrvOfrep
