#include "collector/OrvCarriedSplit.h"

OrvIntendedSplit orvCarriedSplit(const OrvValue& split) {
  OrvIntendedSplit out;
  std::int64_t sum = 0;
  for (const OrvValue& pair : split.elements()) {
    const OrvValue& id = pair.at(0);
    const OrvValue& weight = pair.at(1);
    const bool whole = weight.isNumber() && !weight.isBoolean() &&
                       OrvValue(weight.int64Value()) == weight && weight.int64Value() >= 0 &&
                       weight.int64Value() <= kMaxSplitWeight;
    if (!pair.isArray() || pair.size() != 2 || !id.isString() || id.stringValue().empty() || !whole)
      return {};
    for (const auto& [seen, w] : out)
      if (seen == id.stringValue()) return {};
    out.emplace_back(id.stringValue(), static_cast<double>(weight.int64Value()));
    sum += weight.int64Value();
  }
  if (!split.isArray() || sum <= 0) return {};
  return out;
}
