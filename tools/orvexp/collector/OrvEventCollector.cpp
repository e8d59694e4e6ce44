#include "collector/OrvEventCollector.h"

#include <cstdlib>
#include <new>
#include <vector>

#include "OrvAssignment.h"
#include "OrvMediator.h"
#include "collector/OrvCarriedSplit.h"

namespace {

// An OTLP AnyValue (JSON form) as a value; absent for anything else.
OrvValue fromAnyValue(const OrvValue& any, int depth = 0) {
  if (!any.isDictionary() || depth > 64) return OrvValue();
  if (any["stringValue"].isString()) return any["stringValue"];
  if (any["boolValue"].isBoolean()) return any["boolValue"];
  if (const OrvValue& i = any["intValue"]; !i.isAbsent()) {
    if (i.isString())
      return OrvValue(static_cast<std::int64_t>(std::atoll(i.stringValue().c_str())));
    return i.isNumber() ? i : OrvValue();
  }
  if (any["doubleValue"].isNumber()) return any["doubleValue"];
  if (any["arrayValue"].isDictionary()) {
    OrvValue::Array values;
    for (const auto& v : any["arrayValue"]["values"].elements())
      values.push_back(fromAnyValue(v, depth + 1));
    return OrvValue::array(std::move(values));
  }
  if (any["kvlistValue"].isDictionary()) {
    OrvValue::Dictionary entries;
    for (const auto& kv : any["kvlistValue"]["values"].elements()) {
      if (kv["key"].isString())
        entries.emplace_back(kv["key"].stringValue(), fromAnyValue(kv["value"], depth + 1));
    }
    return OrvValue::dictionary(std::move(entries));
  }
  return OrvValue::null();
}

// An exposure's context, beside its properties (OrvMediatorEvent::context).
constexpr const char* kUnitAttribute = "feature_flag.context.id";
constexpr const char* kSplitAttribute = "orv.split";  // compact JSON text
constexpr const char* kShareAttribute = "orv.intended_share";

// The context of a record from its three attributes (absent ones are absent values),
// each taken only when it is what it should be and left out otherwise: the record is
// stored all the same. The unit is a string; the split the text of a split
// (orvCarriedSplit), kept as the array it describes; the share a number from 0 to 1.
// With a split, the share is the one that split gives the exposure's group: both are
// what the SRM check and docs/srm.sql read, and must not contradict each other (an
// exporter computes it the same way, so the two agree to the bit).
OrvValue contextOf(const OrvValue& unit, const OrvValue& splitText, const OrvValue& share,
                   const OrvValue& group) {
  OrvValue::Dictionary context;
  if (unit.isString()) context.emplace_back("unit", unit);
  OrvIntendedSplit split;
  if (splitText.isString()) {
    const auto parsed = OrvValue::parseJson(splitText.stringValue());
    if (parsed.ok()) split = orvCarriedSplit(parsed.value);
  }
  const bool shareTaken = share.isNumber() && !share.isBoolean() && share.doubleValue() >= 0 &&
                          share.doubleValue() <= 1;
  if (!split.empty()) {
    const std::string groupId = OrvAssignment::identifierText(group);
    OrvValue::Array pairs;
    double sum = 0, weight = 0;
    for (const auto& [id, w] : split) {
      pairs.push_back(OrvValue::array({OrvValue(id), OrvValue(static_cast<std::int64_t>(w))}));
      sum += w;
      if (id == groupId) weight = w;
    }
    context.emplace_back("split", OrvValue::array(std::move(pairs)));
    if (!group.isAbsent()) {
      context.emplace_back("intended_share", OrvValue(weight / sum));
    } else if (shareTaken) {
      context.emplace_back("intended_share", OrvValue(share.doubleValue()));
    }
  } else if (shareTaken) {
    context.emplace_back("intended_share", OrvValue(share.doubleValue()));
  }
  if (context.empty()) return OrvValue();
  return OrvValue::dictionary(std::move(context));
}

// One log record as an event; false when it is not a log record.
bool toEvent(const OrvValue& record, OrvMediatorEvent* event) {
  if (!record.isDictionary()) return false;
  const OrvValue& time = record["timeUnixNano"];
  std::int64_t nanos = 0;
  if (time.isString()) {
    const std::string& t = time.stringValue();
    if (t.empty() || t.size() > 19 || t.find_first_not_of("0123456789") != std::string::npos)
      return false;
    nanos = std::atoll(t.c_str());
  } else if (time.isNumber()) {
    nanos = time.int64Value();
  } else if (!time.isAbsent()) {
    return false;
  }
  event->time = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::nanoseconds(nanos)));
  event->name = record["eventName"].stringValue();
  OrvValue::Dictionary properties;
  OrvValue unit, split, share;
  for (const auto& attribute : record["attributes"].elements()) {
    if (!attribute["key"].isString()) continue;
    const std::string& key = attribute["key"].stringValue();
    const OrvValue value = fromAnyValue(attribute["value"]);
    if (key == "eventId") {
      event->eventId = value.stringValue();
    } else if (key == "appId") {
      event->appId = value.stringValue();
    } else if (key == "event.name") {
      if (event->name.empty()) event->name = value.stringValue();
    } else if (key == kUnitAttribute) {
      unit = value;
    } else if (key == kSplitAttribute) {
      split = value;
    } else if (key == kShareAttribute) {
      share = value;
    } else {
      properties.emplace_back(key, value);
    }
  }
  if (event->name.empty()) event->name = fromAnyValue(record["body"]).stringValue();
  event->properties = OrvValue::dictionary(std::move(properties));
  event->context = contextOf(unit, split, share, event->properties["#experiment_group_id"]);
  return true;
}

}  // namespace

OrvEventCollector::OrvEventCollector(std::unique_ptr<OrvEventStore> store)
    : store_(std::move(store)) {}

OrvEventCollector::~OrvEventCollector() = default;

std::unique_ptr<OrvEventCollector> OrvEventCollector::open(const std::string& path,
                                                           std::string* error) {
  auto store = OrvEventStore::open(path, error);
  if (!store) return nullptr;
  return std::unique_ptr<OrvEventCollector>(new OrvEventCollector(std::move(store)));
}

OrvEventStore& OrvEventCollector::store() { return *store_; }

std::string OrvEventCollector::statusBody(int httpStatus, const std::string& message) {
  // The gRPC code a client would have got for the same failure over OTLP/gRPC.
  int code = 2;  // UNKNOWN
  if (httpStatus == 413 || httpStatus == 429) {
    code = 8;  // RESOURCE_EXHAUSTED
  } else if (httpStatus == 502 || httpStatus == 503 || httpStatus == 504) {
    code = 14;  // UNAVAILABLE
  } else if (httpStatus >= 400 && httpStatus < 500) {
    code = 3;  // INVALID_ARGUMENT
  } else if (httpStatus >= 500) {
    code = 13;  // INTERNAL
  }
  return OrvValue::dictionary({{"code", OrvValue(code)}, {"message", OrvValue(message)}}).toJson();
}

OrvEventCollector::Answer OrvEventCollector::handle(std::string_view body,
                                                    std::string_view contentType) {
  const auto fail = [](int status, const std::string& message) {
    return Answer{status, statusBody(status, message)};
  };
  if (contentType.substr(0, contentType.find(';')) != "application/json")
    return fail(415, "only OTLP JSON (application/json) is accepted");
  std::vector<OrvMediatorEvent> events;
  std::int64_t rejected = 0;
  try {
    const auto parsed = OrvValue::parseJson(body);
    if (parsed.tooCostly) return fail(413, "the request is too large to take at once");
    if (!parsed.ok() || !parsed.value.isDictionary() ||
        !(parsed.value["resourceLogs"].isArray() || parsed.value["resourceLogs"].isAbsent()))
      return fail(400, "not an OTLP logs request: " +
                           (parsed.ok() ? "no resourceLogs array" : parsed.error));
    for (const auto& resource : parsed.value["resourceLogs"].elements()) {
      for (const auto& scope : resource["scopeLogs"].elements()) {
        for (const auto& record : scope["logRecords"].elements()) {
          OrvMediatorEvent event;
          if (toEvent(record, &event)) {
            events.push_back(std::move(event));
          } else {
            ++rejected;
          }
        }
      }
    }
  } catch (const std::bad_alloc&) {
    return fail(500, "out of memory while reading the request");
  }
  std::size_t added = 0;
  std::string why;
  if (!store_->add(events, &added, &why)) {
    // SQLite's reason only: the store's path is none of the client's business.
    const std::size_t reason = why.rfind(": ");
    Answer answer = fail(503, "the log records were not stored, send them again: " +
                                  (reason == std::string::npos ? why : why.substr(reason + 2)));
    answer.retryAfterSeconds = 1;
    return answer;
  }
  if (rejected == 0) return {200, "{}"};
  return {200,
          OrvValue::dictionary(
              {{"partialSuccess",
                OrvValue::dictionary(
                    {{"rejectedLogRecords", OrvValue(std::to_string(rejected))},
                     {"errorMessage",
                      OrvValue("log records that are not objects or have a bad timeUnixNano")}})}})
              .toJson()};
}
