// JSON text -> OrvValue -> feature table -> every typed accessor on every key.
// Also checks that what toJson writes reads back to equal content.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "OrvExperiment/OrvExperiment.h"
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

  auto table = OrvFeatureParser::parse(parsed.value);
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
