#include "cli/ToolSupport.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <vector>

#include "OrvExperiment/OrvExperiment.h"
#include "OrvFeatureManager.h"
#include "platform/files/OrvDataDirectory.h"

namespace orvexp {

void printError(const std::string& command, const std::string& text) {
  std::cerr << ("orvexp" + (command.empty() ? std::string() : " " + command) + ": " + text + "\n")
            << std::flush;
}

struct OutcomeWaiter::State {
  std::mutex mutex;
  std::condition_variable cv;
  Outcome outcome;  // guarded by mutex
  void set(Outcome o) {
    std::lock_guard lock(mutex);
    if (outcome.reported) return;
    outcome = std::move(o);
    outcome.reported = true;
    cv.notify_all();
  }
};

OutcomeWaiter::OutcomeWaiter(const std::shared_ptr<OrvExperimentTask>& task)
    : state_(std::make_shared<State>()) {
  task->addOnSuccessListener([state = state_] { state->set({true, true, 0, {}}); });
  task->addOnFailureListener([state = state_](std::int64_t code, const std::string& message) {
    state->set({true, false, code, message});
  });
}

Outcome OutcomeWaiter::wait(std::chrono::milliseconds timeout) {
  return waitUntil(std::chrono::steady_clock::now() + timeout);
}

Outcome OutcomeWaiter::waitUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(state_->mutex);
  state_->cv.wait_until(lock, deadline, [this] { return state_->outcome.reported; });
  return state_->outcome;
}

namespace {

const char* kindName(const OrvValue& value) {
  switch (value.kind()) {
    case OrvValue::Kind::kAbsent:
    case OrvValue::Kind::kNull:
      return "null";
    case OrvValue::Kind::kBoolean:
      return "boolean";
    case OrvValue::Kind::kInteger:
    case OrvValue::Kind::kUnsigned:
      return "integer";
    case OrvValue::Kind::kFloating:
    case OrvValue::Kind::kDecimal:
      return "number";
    case OrvValue::Kind::kString:
      return "string";
    case OrvValue::Kind::kArray:
      return "array";
    case OrvValue::Kind::kDictionary:
      return "object";
  }
  return "null";
}

// The four typed reads of one key, as the application would make them (each reports
// the exposure it would).
struct TypedReads {
  std::string string;
  OrvValue number;
  bool boolean;
  OrvValue json;
};

TypedReads typedReads(const std::string& key) {
  return {OrvExperiment::getValueAsString(key), OrvExperiment::getValueAsNumber(key),
          OrvExperiment::getValueAsBoolean(key), OrvExperiment::getValueAsJson(key)};
}

std::string typedReadsText(const TypedReads& reads) {
  return "string=\"" + reads.string + "\" number=" + reads.number.description() +
         " boolean=" + (reads.boolean ? "true" : "false") + " json=" + reads.json.toJson();
}

std::string typedReadsJson(const TypedReads& reads) {
  return ",\"string\":" + OrvValue(reads.string).toJson() + ",\"number\":" + reads.number.toJson() +
         ",\"boolean\":" + (reads.boolean ? "true" : "false") + ",\"json\":" + reads.json.toJson();
}

}  // namespace

// Each line is written with one call, so lines from event sinks never cut into it.
void printTypedReads(std::ostream& out, const std::string& key) {
  std::string line = "  " + key + ": ";
  // A key that is not there still reads as something, the defaults: what an application
  // gets, so they are shown, and named as what they are.
  // Before readiness the table holds no payload (at most the overrides).
  if (!OrvFeatureManager::sharedInstance().getFeature(key, false))
    line += OrvExperiment::isReady() ? "missing, default " : "missing (no feature table), default ";
  line += typedReadsText(typedReads(key)) + "\n";
  out << line << std::flush;
}

namespace {

// A string detail read of `key`, named for people: where the value came from (see
// ReadOptions), why it is what it is, and the experiment membership.
struct NamedDetail {
  std::string value;
  const char* source;
  const char* reason;     // words, as the text form prints them
  const char* reasonKey;  // the same as a JSON name
  std::optional<OrvExperimentMembership> experiment;
};

NamedDetail namedDetail(const std::string& key, const ReadOptions& options) {
  static const char* const kReasons[] = {"found", "missing key", "wrong type", "not ready"};
  static const char* const kReasonKeys[] = {"found", "missing_key", "wrong_type", "not_ready"};
  auto d = OrvExperiment::getStringDetail(key);
  const char* source = "default";
  if (d.source == OrvValueSource::kCache) source = "cache";
  if (d.source == OrvValueSource::kNetwork) source = options.fileServer ? "file" : "network";
  if (d.source == OrvValueSource::kOverride) source = "override";
  const auto reason = static_cast<std::size_t>(d.reason);
  return {std::move(d.value), source, kReasons[reason], kReasonKeys[reason],
          std::move(d.experiment)};
}

}  // namespace

void printTypedReadsJson(std::ostream& out, const std::string& key, const ReadOptions& options) {
  std::string line = "{\"key\":" + OrvValue(key).toJson();
  if (auto feature = OrvFeatureManager::sharedInstance().getFeature(key, false)) {
    line += ",\"present\":true,\"kind\":\"" + std::string(kindName(feature->value())) +
            "\",\"value\":" + feature->value().toJson();
  } else {
    line += ",\"present\":false";  // and the reads below answer their defaults
  }
  line += typedReadsJson(typedReads(key));
  if (options.detail) {
    const NamedDetail d = namedDetail(key, options);
    line += ",\"source\":\"" + std::string(d.source) + "\",\"reason\":\"" + d.reasonKey + "\"";
    if (d.experiment) {
      line +=
          ",\"experiment\":" + OrvValue::dictionary({{"experiment_id", d.experiment->experimentId},
                                                     {"group_id", d.experiment->groupId},
                                                     {"control", OrvValue(d.experiment->isControl)},
                                                     {"bucket_id", d.experiment->bucketId}})
                                   .toJson();
    }
  }
  out << line + "}\n" << std::flush;
}

void printDetail(std::ostream& out, const std::string& key, const ReadOptions& options) {
  const NamedDetail d = namedDetail(key, options);
  std::string line =
      "  " + key + ": \"" + d.value + "\" source=" + d.source + " reason=" + d.reason;
  if (d.experiment) {
    line += " experiment=" + d.experiment->experimentId.description() +
            " group=" + d.experiment->groupId.description() +
            " control=" + (d.experiment->isControl ? "yes" : "no") +
            " bucket=" + d.experiment->bucketId.description();
  }
  out << line + "\n" << std::flush;
}

void printFeatureTable(std::ostream& out) {
  auto table = OrvFeatureManager::sharedInstance().features();
  if (!table) {
    out << "  (no feature table loaded)\n";
    return;
  }
  for (const OrvFeature& feature : *table) {  // in key order
    out << "  " << feature.key() << " = " << feature.value().description();
    if (const auto* info = feature.experimentInfo()) {
      out << "  [experiment " << info->experimentId().description() << ", group "
          << info->experimentGroupId().description() << (info->isControl() ? ", control" : "")
          << ", bucket " << info->customBucketId().description() << "]";
    }
    out << "\n";
  }
}

namespace {

std::string percent(double share) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", share * 100);
  return text;
}

std::string number(const char* pattern, double value) {
  char text[32];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

std::string padded(const std::string& text, std::size_t width, bool right = false) {
  if (text.size() >= width) return text;
  const std::string fill(width - text.size(), ' ');
  return right ? fill + text : text + fill;
}

}  // namespace

void printSrmCheck(std::ostream& out, const OrvSrmCheck& c) {
  std::size_t idWidth = 5;
  for (const auto& g : c.groups) idWidth = std::max(idWidth, g.groupId.size());
  out << "app " << c.appId << ", experiment " << c.experimentId << ": " << c.total
      << (c.total == 1 ? " exposure" : " exposures") << "; intended split: " << c.intendedFrom;
  // In words whenever the exposures carried a split (also when --expect overrode it).
  if (c.intendedFrom == "exposures" || c.splits > 0) out << " (" << c.intendedDescription() << ")";
  out << "\n";
  out << "  " << padded("group", idWidth) << "  control  " << padded("exposures", 10, true) << "  "
      << padded("share", 7, true) << "  " << padded("intended", 8, true) << "\n";
  for (const auto& g : c.groups) {
    out << "  " << padded(g.groupId, idWidth) << "  " << padded(g.control ? "yes" : "no", 7) << "  "
        << padded(std::to_string(g.exposures), 10, true) << "  "
        << padded(percent(g.share), 7, true) << "  " << padded(percent(g.intendedShare), 8, true)
        << "\n";
  }
  out << "  chi-square " << number("%.4g", c.chiSquare) << ", " << c.degreesOfFreedom
      << (c.degreesOfFreedom == 1 ? " degree" : " degrees") << " of freedom";
  if (c.designEffect != 1) out << ", design effect " << number("%.3g", c.designEffect);
  out << ", p = " << number("%.3g", c.pValue)
      << ", anytime-valid p = " << number("%.3g", c.anytimePValue)
      << "; judged: " << (c.judged ? "yes" : "no") << "; alarm: " << (c.alarm ? "yes" : "no")
      << "\n";
  out << "  " << c.verdict << "\n";
}

void printReadout(std::ostream& out, const OrvExperimentReadout& r, const OrvReadoutOptions& o) {
  char head[160];
  std::snprintf(
      head, sizeof head, "  readout (%s, alpha %g%s):\n",
      o.fixedHorizon ? "fixed horizon" : "always valid", o.alpha,
      o.fixedHorizon
          ? ""
          : (", tuned to " + std::to_string(static_cast<long long>(o.expectedUnits)) + " units")
                .c_str());
  out << head;
  if (r.unitsLeftOut > 0)
    out << "    " << r.unitsLeftOut << " unit(s) exposed in two groups are left out\n";
  for (const auto& outcome : r.outcomes) {
    out << "    " << outcome.outcome
        << (outcome.proportion ? " (share of units converting):" : " (mean per unit):");
    for (const auto& g : outcome.groups) {
      char value[64];
      std::snprintf(value, sizeof value, outcome.proportion ? "%.2f%%" : "%.4g",
                    outcome.proportion ? g.value * 100 : g.value);
      out << " " << g.id << " " << g.units << " units " << value << ";";
    }
    out << "\n";
    if (!outcome.analysis.error.empty())
      out << "      not compared: " << outcome.analysis.error << "\n";
    for (const auto& verdict : outcome.verdicts) out << "      " << verdict << "\n";
  }
}

std::string defaultDataDir() { return OrvDataDirectory::perUser("orvexp"); }

bool routeEvents(const std::string& command, const std::string& eventsUrl,
                 const std::string& eventsFile, OrvMediator::Sink toStdout,
                 std::uint64_t* exporter) {
  *exporter = 0;
  if (!eventsUrl.empty()) {
    OrvOtlpExporterOptions options;
    options.endpoint = eventsUrl;
    *exporter = OrvMediator::sharedInstance()->addOtlpExporter(options);
    if (*exporter == 0) {
      printError(command, "--events-url must be an http(s) URL");
      return false;
    }
  }
  if (!eventsFile.empty()) {
    OrvMediator::sharedInstance()->addEventSink(OrvMediator::jsonLinesFileSink(eventsFile));
  } else if (eventsUrl.empty()) {
    OrvMediator::sharedInstance()->addEventSink(std::move(toStdout));
  }
  return true;
}

}  // namespace orvexp
