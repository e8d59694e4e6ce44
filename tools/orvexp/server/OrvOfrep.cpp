#include "server/OrvOfrep.h"

#include <chrono>
#include <optional>
#include <set>

#include "OrvAssignment.h"
#include "OrvExposureTracker.h"
#include "OrvFeatureParser.h"
#include "platform/values/OrvMD5.h"

namespace OrvOfrep {
namespace {

// The flags an experiment with weighted groups lists: its "#feature_list", else the
// keys its groups set. Without a unit those experiments are left out, and these flags
// keep the payload's value.
std::set<std::string> flagsOfGroups(const OrvValue& payload) {
  std::set<std::string> flags;
  for (const OrvValue& entry : payload["experiment_detail"].elements()) {
    if (entry["#groups"].isAbsent()) continue;
    if (!entry["#feature_list"].isAbsent()) {
      for (const OrvValue& key : entry["#feature_list"].elements())
        if (key.isString()) flags.insert(key.stringValue());
      continue;
    }
    for (const OrvValue& group : entry["#groups"].elements())
      for (const auto& [key, value] : group["values"].entries()) flags.insert(key);
  }
  return flags;
}

OrvValue::Dictionary flagAnswer(const OrvFeature& feature, const std::set<std::string>& leftOut) {
  OrvValue::Dictionary answer = {{"key", OrvValue(feature.key())}, {"value", feature.value()}};
  const OrvExperimentInfo* info = feature.experimentInfo();
  if (info && !info->experimentGroupId().isAbsent()) {
    const std::string group = OrvAssignment::identifierText(info->experimentGroupId());
    answer.emplace_back("reason", OrvValue("SPLIT"));
    answer.emplace_back("variant", OrvValue(group));
    answer.emplace_back(
        "metadata",
        OrvValue::dictionary(
            {{"experiment_id", OrvValue(OrvAssignment::identifierText(info->experimentId()))},
             {"group_id", OrvValue(group)},
             {"is_control_group", OrvValue(info->isControl())}}));
  } else {
    answer.emplace_back("reason", OrvValue(leftOut.count(feature.key()) ? "DEFAULT" : "STATIC"));
  }
  return answer;
}

}  // namespace

Answer error(int status, const std::string* flagKey, const std::string& code,
             const std::string& details) {
  OrvValue::Dictionary body;
  if (flagKey) body.emplace_back("key", OrvValue(*flagKey));
  body.emplace_back("errorCode", OrvValue(code));
  body.emplace_back("errorDetails", OrvValue(details));
  Answer answer;
  answer.status = status;
  answer.body = OrvValue::dictionary(std::move(body)).toJson();
  return answer;
}

std::string exposureEventId(const std::string& appId, const std::string& unit,
                            const std::string& experiment, const std::string& group) {
  return "ofrep-" + OrvMD5::hex(OrvValue::array({OrvValue(appId), OrvValue(unit),
                                                 OrvValue(experiment), OrvValue(group)})
                                    .toJson());
}

Answer evaluate(const OrvValue& payload, const std::string& appId, const std::string* flagKey,
                const std::string& request, const std::string& ifNoneMatch) {
  const auto parsed = OrvValue::parseJson(request);
  if (!parsed.ok() || !parsed.value.isDictionary())
    return error(400, flagKey, "PARSE_ERROR",
                 "the request body must be a JSON object: {\"context\": {...}}");
  const OrvValue& context = parsed.value["context"];
  if (!context.isAbsent() && !context.isNull() && !context.isDictionary())
    return error(400, flagKey, "INVALID_CONTEXT", "\"context\" must be an object");
  const OrvValue& targetingKey = context["targetingKey"];
  if (!targetingKey.isAbsent() && !targetingKey.isNull() && !targetingKey.isString())
    return error(400, flagKey, "INVALID_CONTEXT", "\"targetingKey\" must be a string");
  const std::string unit = targetingKey.isString() ? targetingKey.stringValue() : "";

  OrvAssignment::FirstTime memory;  // a server keeps no units
  const auto table =
      OrvFeatureParser::parse(OrvAssignment::resolve(payload, unit, &memory, nullptr));
  const std::set<std::string> leftOut =
      unit.empty() ? flagsOfGroups(payload) : std::set<std::string>();
  Answer answer;
  if (!flagKey) {
    OrvValue::Array flags;
    for (const OrvFeature& feature : *table)
      flags.push_back(OrvValue::dictionary(flagAnswer(feature, leftOut)));
    answer.body = OrvValue::dictionary({{"flags", OrvValue::array(std::move(flags))}}).toJson();
    answer.etag = "\"" + OrvMD5::hex(answer.body) + "\"";
    if (ifNoneMatch == answer.etag) {
      answer.status = 304;
      answer.body.clear();
    }
    return answer;
  }
  const OrvFeature* feature = table->find(*flagKey);
  if (!feature)
    return error(404, flagKey, "FLAG_NOT_FOUND",
                 "application " + appId + " has no flag \"" + *flagKey + "\"");
  answer.body = OrvValue::dictionary(flagAnswer(*feature, leftOut)).toJson();
  if (const OrvExperimentInfo* info = feature->experimentInfo()) {
    // The event the library's exposure tracker makes for the same membership.
    OrvMediatorEvent event;
    event.name = OrvExposureTracker::kEventName;
    event.appId = appId;
    event.time = std::chrono::system_clock::now();
    event.properties = OrvExposureTracker::eventProperties(*info);
    event.context = OrvExposureTracker::eventContext(*info);
    const std::string bucket = info->customBucketId().isAbsent()
                                   ? unit
                                   : OrvAssignment::identifierText(info->customBucketId());
    event.eventId =
        exposureEventId(appId, bucket, OrvAssignment::identifierText(info->experimentId()),
                        OrvAssignment::identifierText(info->experimentGroupId()));
    answer.exposures.push_back(std::move(event));
  }
  return answer;
}

}  // namespace OrvOfrep
