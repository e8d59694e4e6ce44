// A cache file's bytes through cache decoding and, when it holds a payload, parsing.
#include <cstdlib>
#include <string>

#include "OrvFeatureParser.h"
#include "remote_config/OrvRCCache.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string problem;
  OrvRCCachedPayload cached = OrvRCCache::decode(text, "fuzz-app", "ki_feature", &problem);
  if (cached.payload.isAbsent()) {
    if (problem.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  if (!cached.payload.isDictionary()) std::abort();
  (void)OrvFeatureParser::parse(cached.payload);
  return 0;
}
