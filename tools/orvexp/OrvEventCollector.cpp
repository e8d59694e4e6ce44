#include "OrvEventCollector.h"

#include <cstdlib>

#include "OrvMediator.h"

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
    } else {
      properties.emplace_back(key, value);
    }
  }
  if (event->name.empty()) event->name = fromAnyValue(record["body"]).stringValue();
  event->properties = OrvValue::dictionary(std::move(properties));
  return true;
}

std::string error(const std::string& message) {
  return OrvValue::dictionary({{"error", OrvValue(message)}}).toJson();
}

}  // namespace

struct OrvEventCollector::Impl {
  // Constant after construction; the sink itself is thread-safe and drops an eventId it
  // has written before.
  OrvMediator::Sink sink;
};

OrvEventCollector::OrvEventCollector(std::string path) : impl_(std::make_unique<Impl>()) {
  impl_->sink = OrvMediator::jsonLinesFileSink(path);
}

OrvEventCollector::~OrvEventCollector() = default;

OrvEventCollector::Answer OrvEventCollector::handle(std::string_view body,
                                                    std::string_view contentType) {
  if (contentType.substr(0, contentType.find(';')) != "application/json")
    return {415, error("only OTLP JSON (application/json) is accepted")};
  const auto parsed = OrvValue::parseJson(body);
  if (!parsed.ok() || !parsed.value.isDictionary() ||
      !(parsed.value["resourceLogs"].isArray() || parsed.value["resourceLogs"].isAbsent()))
    return {400, error("not an OTLP logs request: " +
                       (parsed.ok() ? "no resourceLogs array" : parsed.error))};
  std::int64_t rejected = 0;
  for (const auto& resource : parsed.value["resourceLogs"].elements()) {
    for (const auto& scope : resource["scopeLogs"].elements()) {
      for (const auto& record : scope["logRecords"].elements()) {
        OrvMediatorEvent event;
        if (toEvent(record, &event)) {
          impl_->sink(event);
        } else {
          ++rejected;
        }
      }
    }
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
