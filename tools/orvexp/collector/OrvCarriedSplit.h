// The split an exposure carries (the library sends the groups' weights with each
// exposure, as the "orv.split" attribute and in the stored context): read back into
// group identifiers and weights, for the collector that stores it and the split check
// that judges counts against it. Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "OrvExperiment/OrvValue.h"

// Group identifier and weight (any non-negative scale; shares are weight / sum).
using OrvIntendedSplit = std::vector<std::pair<std::string, double>>;

// The split a carried split describes: `split` an array of [group id, weight] pairs,
// ids unique non-empty strings, weights whole numbers 0..kMaxSplitWeight, their sum
// above 0 (as the library sends it, and as "#groups" declares one). Empty for anything
// else.
constexpr std::int64_t kMaxSplitWeight = 1'000'000;
OrvIntendedSplit orvCarriedSplit(const OrvValue& split);
