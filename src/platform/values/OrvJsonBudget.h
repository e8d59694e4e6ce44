// What loading a JSON text costs at its peak, counted against the text's budget (see
// OrvValue::parseJson): the census of a text before simdjson allocates anything for it,
// and the running count while values are built. Internal to the parser
// (OrvJson.cpp, OrvJsonKeySort.h); nothing here is shared between threads.
#pragma once

#include <simdjson.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "OrvExperiment/OrvValue.h"
#include "platform/values/OrvValueNode.h"

namespace orv_json {

inline constexpr const char* kOverBudget = "the value needs more memory than its budget";

// ---- what a load costs ------------------------------------------------------------
//
// A text's budget bounds what loading it takes at its peak. A load has three phases,
// each with a peak of its own, and the largest must fit:
//  1. simdjson's parse: the text's padded copy, the structural indexes (4 bytes per
//     token), the tape (a word per value, two per number and per container) and the
//     string buffer (every string unescaped, with a 4-byte length and a NUL);
//  2. building: the tape and the string buffer, which the nodes are read from (the copy
//     and the indexes are given back first), the nodes as they are made, and the
//     scratch of a key sort;
//  3. once built: the value, the feature table a payload becomes (kTableBytesPerFeature
//     for each entry of the largest dictionary in the top two levels,
//     kTableBytesPerExperiment for each dictionary held by an array, at most one per
//     kExperimentEntryMinBytes of text), and the text again, for the copy a payload is
//     written back as (the cache) while its table is built.
// The text the caller holds is its own and is not counted. Heap blocks are counted as
// malloc gives them: with their header, in 16-byte steps, 32 bytes at least.

inline constexpr std::size_t heapBlockBytes(std::size_t bytes) {
  return bytes == 0 ? 0 : std::max<std::size_t>(32, (bytes + 8 + 15) & ~std::size_t{15});
}

// The heap block behind a std::string of `length` characters, if any (none within the
// inline buffer).
inline constexpr std::size_t stringHeapBytes(std::size_t length) {
  return length < sizeof(std::string) / 2 ? 0 : heapBlockBytes(length + 1);
}

// simdjson's parse of a text up to this size cannot pass the least budget whatever the
// text holds: each byte makes at most a structural index (4 bytes) and a tape word (8),
// as in "0,0,...", and a string's 5 bytes of string buffer come with 2 bytes of text at
// least, so its buffers fill at most 12 bytes per byte, and the padded copy one more.
// Such a text skips the census below, and building counts the document by its tape.
inline constexpr std::size_t kCensusAbove = OrvValue::kMinParseBudget / 13;

// A thread keeps its parser's buffers for texts up to this size, so they stay below
// about 14 times this (the tape, the structural indexes, the string buffer, the padded
// copy): small texts come often and would otherwise allocate them each time; a payload
// comes once in minutes and its buffers, 14 times its size, are not worth keeping.
inline constexpr std::size_t kKeepParserUpTo = std::size_t{32} << 10;

// Phase 3 past the value, for a text of `textBytes` whose value's largest dictionary in
// its top two levels has `features` entries and which holds `records` dictionaries in
// arrays: the feature table (each of those dictionaries may be an experiment entry, as
// many as the text has room for) and the text's copy.
inline std::size_t afterBytes(std::size_t features, std::size_t records, std::size_t textBytes) {
  records = std::min(records, textBytes / kExperimentEntryMinBytes);
  return features * kTableBytesPerFeature + records * kTableBytesPerExperiment + textBytes;
}

// One pass over a text counting what simdjson and the builder will make of it, to refuse
// a text that is certainly over its budget before the parser allocates anything for it.
// Exact for valid JSON; for invalid JSON simdjson stops early and makes less.
struct Census {
  std::size_t tokens = 0;       // structural indexes
  std::size_t tapeWords = 2;    // the root's two included
  std::size_t stringBytes = 0;  // string buffer
  std::size_t strings = 0;      // keys included
  std::size_t keys = 0;         // one per ':'
  std::size_t containers = 0;   // arrays and objects
  std::size_t scalars = 0;      // numbers and literals
  std::size_t features = 0;     // the most keys of one object in the top two levels
  std::size_t records = 0;      // objects held by arrays

  std::size_t documentBytes() const { return 8 * tapeWords + stringBytes; }
  // Phase 1.
  std::size_t parseBytes(std::size_t length) const {
    return length + simdjson::SIMDJSON_PADDING + 4 * tokens + documentBytes();
  }
  // The least the value can take: every value but the root held by a 16-byte handle, an
  // entry's key beside it, a node per container and per string value.
  std::size_t valueFloorBytes() const {
    const std::size_t stringValues = strings - std::min(keys, strings);
    const std::size_t values = stringValues + scalars + containers;
    return sizeof(OrvValue) * (values > 0 ? values - 1 : 0) +
           (sizeof(OrvValue::Entry) - sizeof(OrvValue)) * keys +
           std::min(sizeof(OrvArrayNode), sizeof(OrvDictionaryNode)) * containers +
           sizeof(OrvStringNode) * stringValues;
  }
  // The least of phases 2 and 3.
  std::size_t floorBytes(std::size_t length) const {
    return std::max(documentBytes() + valueFloorBytes(),
                    valueFloorBytes() + afterBytes(features, records, length));
  }
};

// What a load has taken so far, counted against the text's budget. `base` is what is
// there before the first node (the document being read, the walk's parser).
class ParseBudget {
 public:
  ParseBudget(std::size_t limit, std::size_t base) : limit_(limit), base_(base) {}
  // False once the total passes the limit.
  bool spend(std::size_t bytes) {
    spent_ += bytes;
    exceeded = exceeded || base_ + spent_ + scratch_ > limit_;
    return !exceeded;
  }
  // Scratch: counted while building, not once built.
  bool spendScratch(std::size_t bytes) {
    scratch_ += bytes;
    return spend(0);
  }
  void giveBackScratch(std::size_t bytes) { scratch_ -= std::min(bytes, scratch_); }
  // Once built: the value and what is still to come after it, without the base.
  bool settle(std::size_t after) {
    exceeded = exceeded || spent_ + after > limit_;
    return !exceeded;
  }

  bool exceeded = false;

 private:
  std::size_t limit_;
  std::size_t base_;
  std::size_t spent_ = 0;
  std::size_t scratch_ = 0;
};

// What the on-demand walk's values take: each node is a block of its own, and vectors
// grow by doubling (and a dictionary's entries are sorted with a buffer as large again).
struct SingleCosts {
  static constexpr std::size_t kNode = heapBlockBytes(
      sizeof(OrvValue::Block) + std::max(sizeof(OrvStringNode), sizeof(OrvDictionaryNode)));
  static constexpr std::size_t kElement = 2 * sizeof(OrvValue);
  static constexpr std::size_t kEntry = 3 * sizeof(OrvValue::Entry);
};

// Counts what simdjson and the builder will make of `text` (see Census).
Census takeCensus(std::string_view text);

}  // namespace orv_json
