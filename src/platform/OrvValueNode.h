// The node behind an OrvValue handle. Internal: only the value type and the JSON
// reader build nodes. A node never changes after construction, which is what makes
// sharing handles across threads safe.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "OrvExperiment/OrvValue.h"

struct OrvDecimal {
  std::int64_t mantissa = 0;
  std::int32_t exponent = 0;
};

struct OrvNullTag {};

struct OrvValue::Node {
  // The alternative index is the value's kind: keep it in step with OrvValue::Kind
  // (kAbsent has no node, so index 0 is null).
  std::variant<OrvNullTag, bool, std::int64_t, std::uint64_t, double, OrvDecimal, std::string,
               OrvValue::Array, OrvValue::Dictionary>
      data;
  // Array/dictionary levels of this value (see OrvValue::nestingDepth), saturating.
  std::uint32_t depth = 0;

  // Destroys a deep value without recursing once per level (see the .cpp).
  ~Node();
};
