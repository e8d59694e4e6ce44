// JSON text -> OrvValue -> feature table -> every typed accessor on every key.
// Also checks that what toJson writes reads back to equal content.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "OrvExperiment/OrvExperiment.h"
#include "OrvAssignment.h"
#include "OrvFeatureManager.h"
#include "OrvFeatureParser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool configured = [] {
    auto config = OrvExperimentConfig::create("fuzz", "file:///nonexistent");
    config->setAutomaticExposureTracking(false);  // no background work per read
    OrvFeatureManager::sharedInstance().setConfig(config);
    return true;
  }();
  (void)configured;

  const std::string text(reinterpret_cast<const char*>(data), size);
  OrvValue::ParseResult parsed = OrvValue::parseJson(text);
  if (!parsed.ok()) {
    if (parsed.error.empty() || !parsed.value.isAbsent()) std::abort();
    return 0;
  }
  const std::string written = parsed.value.toJson();
  OrvValue::ParseResult again = OrvValue::parseJson(written);
  if (!again.ok() || !(again.value == parsed.value)) std::abort();
  (void)parsed.value.description();

  // Weighted groups as the library resolves them: valid declarations for a unit (a
  // memory that keeps whatever it is given), anything else left out; either way the
  // result must be a payload the parser takes, and one without "#groups" to resolve.
  OrvValue payload = parsed.value;
  if (OrvAssignment::hasGroups(payload)) {
    struct Keeps : OrvAssignment::Memory {
      std::optional<Kept> kept;
      std::optional<Kept> recall(const std::string&, const std::string&) override { return kept; }
      Kept keep(const std::string&, const std::string&, const Kept& k, bool) override {
        return *(kept = k);
      }
    } memory;
    payload = OrvAssignment::problemOf(payload).empty()
                  ? OrvAssignment::resolve(payload, "unit-" + std::to_string(size), &memory)
                  : OrvAssignment::withoutGroups(payload);
    if (payload.isDictionary() && OrvAssignment::hasGroups(payload)) std::abort();
  }
  auto table = OrvFeatureParser::parse(payload);
  OrvFeatureManager::sharedInstance().setFeatures(table);
  for (const OrvFeature& feature : *table) {
    const std::string& key = feature.key();
    (void)OrvExperiment::getValueAsString(key);
    (void)OrvExperiment::getValueAsNumber(key).description();
    (void)OrvExperiment::getValueAsBoolean(key);
    (void)OrvExperiment::getValueAsJson(key).toJson();
    if (const auto* info = feature.experimentInfo()) {
      if (info->recordKey().size() != 32) std::abort();
    }
    const OrvValue& value = feature.value();
    (void)value.int64Value();
    (void)value.doubleValue();
    (void)value.boolValue();
  }
  return 0;
}
