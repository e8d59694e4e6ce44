// JSON text to OrvValue. The fast path is simdjson's DOM parser, which picks the best
// SIMD kernel at run time. When it fails, the input is walked again with the on-demand
// API, which can say where the input went wrong and can also read integers too large
// for 64 bits or beyond the range of a double (the DOM parser rejects those).
// Recursion is bounded by OrvValue::kMaxNestingDepth on both paths.
//
// Memory: every text has a budget for what loading it takes at its peak (see "what a
// load costs" below), and a thread keeps its parser's buffers only for small texts (see
// kKeepParserUpTo). Parsers are per thread; nothing here is shared between threads.
#include <simdjson.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "OrvExperiment/OrvValue.h"
#include "platform/OrvValueNode.h"

namespace {

using simdjson::error_code;
namespace od = simdjson::ondemand;

// Offset of the first byte that is not valid UTF-8 (overlongs, surrogates and code
// points above U+10FFFF included), or npos. Only run after simdjson has already said
// the input is invalid, to say where.
std::size_t firstInvalidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return i;
    }
    if (i + len > s.size()) return i;
    for (std::size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (cc & 0x3F);
    }
    const bool overlong =
        (len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
    i += len;
  }
  return std::string_view::npos;
}

// The double nearest to a JSON number's text; past the largest finite double, the
// largest finite double of the same sign. False when the text is no number at all.
bool nearestDouble(std::string_view token, double& out) {
  const std::string text(token);
  char* end = nullptr;
  double d = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || std::isnan(d)) return false;
  out = std::isinf(d) ? std::copysign(std::numeric_limits<double>::max(), d) : d;
  return true;
}

bool isJsonBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A whole text that is one number (with blanks around it): the DOM parser refuses one
// beyond 64 bits or beyond the range of a double, and the on-demand iterator cannot say
// what follows a scalar root, so the grammar is checked here. False when the text does
// not start like a number; otherwise `result` holds the value or the error.
bool rootNumber(std::string_view text, OrvValue::ParseResult& result) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && isJsonBlank(text[i])) ++i;
  if (i == n || (text[i] != '-' && (text[i] < '0' || text[i] > '9'))) return false;
  const std::size_t start = i;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
    return i > from;
  };
  if (text[i] == '-') ++i;
  bool valid = i < n && text[i] == '0' ? (++i, true) : digits();
  if (valid && i < n && text[i] == '.') valid = (++i, digits());
  if (valid && i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    valid = digits();
  }
  const std::size_t end = i;
  while (i < n && isJsonBlank(text[i])) ++i;
  double d = 0;
  if (!valid || !nearestDouble(text.substr(start, end - start), d)) {
    result.error = "JSON error at byte " + std::to_string(end) + ": invalid number";
  } else if (i != n) {
    result.error =
        "JSON error at byte " + std::to_string(i) + ": unexpected content after the JSON value";
  } else {
    result.value = OrvValue(d);
  }
  return true;
}

constexpr const char* kOverBudget = "the value needs more memory than its budget";

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

constexpr std::size_t heapBlockBytes(std::size_t bytes) {
  return bytes == 0 ? 0 : std::max<std::size_t>(32, (bytes + 8 + 15) & ~std::size_t{15});
}

// The heap block behind a std::string of `length` characters, if any (none within the
// inline buffer).
constexpr std::size_t stringHeapBytes(std::size_t length) {
  return length < sizeof(std::string) / 2 ? 0 : heapBlockBytes(length + 1);
}

// simdjson's parse of a text up to this size cannot pass the least budget whatever the
// text holds: each byte makes at most a structural index (4 bytes) and a tape word (8),
// as in "0,0,...", and a string's 5 bytes of string buffer come with 2 bytes of text at
// least, so its buffers fill at most 12 bytes per byte, and the padded copy one more.
// Such a text skips the census below, and building counts the document by its tape.
constexpr std::size_t kCensusAbove = OrvValue::kMinParseBudget / 13;

// A thread keeps its parser's buffers for texts up to this size, so they stay below
// about 14 times this (the tape, the structural indexes, the string buffer, the padded
// copy): small texts come often and would otherwise allocate them each time; a payload
// comes once in minutes and its buffers, 14 times its size, are not worth keeping.
constexpr std::size_t kKeepParserUpTo = std::size_t{32} << 10;

// Phase 3 past the value, for a text of `textBytes` whose value's largest dictionary in
// its top two levels has `features` entries and which holds `records` dictionaries in
// arrays: the feature table (each of those dictionaries may be an experiment entry, as
// many as the text has room for) and the text's copy.
std::size_t afterBytes(std::size_t features, std::size_t records, std::size_t textBytes) {
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

Census takeCensus(std::string_view text) {
  Census c;
  // The open containers down to simdjson's own limit (deeper text is refused by it):
  // whether each is an object, and its keys so far.
  struct Open {
    bool object;
    std::size_t keys;
  };
  std::vector<Open> open;
  open.reserve(64);
  std::size_t depth = 0;  // may pass what `open` holds
  constexpr std::size_t kDeepest = simdjson::DEFAULT_MAX_DEPTH;
  const char* p = text.data();
  const char* const end = p + text.size();
  bool inAtom = false;  // within a number or literal
  while (p < end) {
    const char ch = *p;
    if (ch == '"') {
      // The closing quote is the first one not escaped: preceded by an even run of
      // backslashes. Short strings are scanned here, longer ones by memchr.
      const char* const start = p + 1;
      const char* q = start;
      for (const char* stop = std::min(end, start + 16); q < stop && *q != '"';) ++q;
      for (;;) {
        if (q == end || *q != '"')
          q = static_cast<const char*>(std::memchr(q, '"', static_cast<std::size_t>(end - q)));
        if (q == nullptr) {
          q = end;
          break;
        }
        const char* b = q;
        while (b > start && b[-1] == '\\') --b;
        if ((q - b) % 2 == 0) break;
        ++q;
      }
      ++c.strings;
      ++c.tokens;
      ++c.tapeWords;
      c.stringBytes += static_cast<std::size_t>(q - start) + 5;
      inAtom = false;
      p = q + 1;
      continue;
    }
    switch (ch) {
      case '{':
      case '[':
        ++c.containers;
        c.tapeWords += 2;
        ++c.tokens;
        inAtom = false;
        if (ch == '{' && !open.empty() && !open.back().object) ++c.records;
        if (depth++ < kDeepest) open.push_back(Open{ch == '{', 0});
        break;
      case '}':
      case ']':
        ++c.tokens;
        inAtom = false;
        if (depth > 0 && depth-- <= kDeepest) {
          if (open.back().object && depth <= 1) c.features = std::max(c.features, open.back().keys);
          open.pop_back();
        }
        break;
      case ',':
        ++c.tokens;
        inAtom = false;
        break;
      case ':':
        ++c.tokens;
        ++c.keys;
        inAtom = false;
        if (!open.empty() && depth <= kDeepest) ++open.back().keys;
        break;
      case ' ':
      case '\t':
      case '\n':
      case '\r':
        inAtom = false;
        break;
      default:
        if (!inAtom) {
          inAtom = true;
          ++c.tokens;
          ++c.scalars;
          c.tapeWords += ch == 't' || ch == 'f' || ch == 'n' ? 1 : 2;
        }
    }
    ++p;
  }
  return c;
}

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

class Converter {
 public:
  Converter(const char* base, std::size_t budget, std::size_t parserBytes)
      : base_(base), budget_(budget, parserBytes) {}

  // The error to report, with its position when simdjson can name it.
  std::string message;
  bool overBudget() const { return budget_.exceeded; }

  // Counts what the value built so far takes; false (with the error set) past the budget.
  template <class V>
  bool spend(std::size_t bytes, V& v) {
    return budget_.spend(bytes) || fail(kOverBudget, v);
  }

  template <class V>
  bool scalar(V& v, od::json_type type, OrvValue& out) {
    switch (type) {
      case od::json_type::null: {
        bool isNull = false;
        if (!check(v.is_null().get(isNull), v)) return false;
        if (!isNull) return fail("invalid literal", v);
        out = OrvValue::null();
        return true;
      }
      case od::json_type::boolean: {
        bool b = false;
        if (!check(v.get_bool().get(b), v)) return false;
        out = OrvValue(b);
        return true;
      }
      case od::json_type::string: {
        std::string_view s;
        if (!check(v.get_string().get(s), v) ||
            !spend(SingleCosts::kNode + stringHeapBytes(s.size()), v))
          return false;
        out = OrvValue(std::string(s));
        return true;
      }
      case od::json_type::number:
        return number(v, out);
      default:
        return fail("unexpected value", v);
    }
  }

  bool value(od::value v, int depth, OrvValue& out) {
    od::json_type type{};
    if (!check(v.type().get(type), v)) return false;
    if (type == od::json_type::array || type == od::json_type::object) {
      if (depth >= OrvValue::kMaxNestingDepth) {
        return fail("nesting deeper than " + std::to_string(OrvValue::kMaxNestingDepth) + " levels",
                    v);
      }
      return type == od::json_type::array ? array(v, depth + 1, out) : object(v, depth + 1, out);
    }
    return scalar(v, type, out);
  }

  bool array(od::value v, int depth, OrvValue& out) {
    od::array arr;
    if (!check(v.get_array().get(arr), v) || !spend(SingleCosts::kNode, v)) return false;
    OrvValue::Array elements;
    for (auto element : arr) {
      od::value child;
      if (!check(std::move(element).get(child), v)) return false;
      od::json_type type{};
      if (child.type().get(type) == simdjson::SUCCESS && type == od::json_type::object) ++records_;
      OrvValue converted;
      if (!spend(SingleCosts::kElement, v) || !value(child, depth, converted)) return false;
      elements.push_back(std::move(converted));
    }
    out = OrvValue::array(std::move(elements));
    return true;
  }

  bool object(od::value v, int depth, OrvValue& out) {
    od::object obj;
    if (!check(v.get_object().get(obj), v) || !spend(SingleCosts::kNode, v)) return false;
    OrvValue::Dictionary entries;
    for (auto field : obj) {
      od::field f;
      if (!check(std::move(field).get(f), v)) return false;
      std::string_view key;
      if (!check(f.unescaped_key().get(key), v) ||
          !spend(SingleCosts::kEntry + stringHeapBytes(key.size()), v))
        return false;
      OrvValue converted;
      if (!value(f.value(), depth, converted)) return false;
      entries.emplace_back(std::string(key), std::move(converted));
    }
    out = OrvValue::dictionary(std::move(entries));
    if (depth <= 2) features_ = std::max(features_, out.size());  // the root is at depth 1
    return true;
  }

  // Once built: the value with the feature table's margin (phase 3).
  template <class V>
  bool settle(V& v, std::size_t textBytes) {
    return budget_.settle(afterBytes(features_, records_, textBytes)) || fail(kOverBudget, v);
  }

  template <class V>
  bool check(error_code error, V& v) {
    if (error == simdjson::SUCCESS) return true;
    return fail(simdjson::error_message(error), v);
  }

  template <class V>
  bool fail(const std::string& what, V& v) {
    if (!message.empty()) return false;  // keep the innermost, first error
    const char* location = nullptr;
    if (v.current_location().get(location) == simdjson::SUCCESS && location != nullptr) {
      message = "JSON error at byte " + std::to_string(location - base_) + ": " + what;
    } else {
      message = "JSON error: " + what;
    }
    return false;
  }

 private:
  template <class V>
  bool number(V& v, OrvValue& out) {
    od::number_type type{};
    if (v.get_number_type().get(type) == simdjson::SUCCESS) {
      if (type == od::number_type::signed_integer) {
        std::int64_t i = 0;
        if (v.get_int64().get(i) == simdjson::SUCCESS) {
          out = OrvValue(i);
          return true;
        }
      } else if (type == od::number_type::unsigned_integer) {
        std::uint64_t u = 0;
        if (v.get_uint64().get(u) == simdjson::SUCCESS) {
          out = OrvValue(u);
          return true;
        }
      } else {
        double d = 0;
        if (v.get_double().get(d) == simdjson::SUCCESS) {
          out = OrvValue(d);
          return true;
        }
      }
    }
    // Integers beyond 64 bits, and numbers beyond the range of a double: keep them as the
    // nearest double rather than fail the whole document. Past the largest finite
    // double that is the largest finite double of the same sign (as 1e-400 becomes 0):
    // it stays a number, keeps its order against every other number, and reads back
    // the same from the JSON we write, where an infinity would turn into null.
    std::string_view token;
    if constexpr (std::is_same_v<V, od::document>) {
      if (!check(v.raw_json_token().get(token), v)) return false;
    } else {
      token = v.raw_json_token();
    }
    double d = 0;
    if (!nearestDouble(token, d)) return fail("invalid number", v);
    out = OrvValue(d);
    return true;
  }

  const char* base_;
  ParseBudget budget_;
  std::size_t features_ = 0;
  std::size_t records_ = 0;
};

// Sorts an object's entries, built in the order written, by key; of equal keys the last
// one written wins. Sorts 16-byte keys (eight bytes of the key as one big-endian number,
// and the entry's position) rather than the entries, by a radix sort through a buffer as
// large: one pass per byte that differs among them, each a stream of independent
// stores. Then each entry moves once: into a vector of its own in order, or, for a few
// entries and past kMoveUpTo entries, along the cycles of the permutation in place
// (slower per entry, but without a second vector as large as the object's).
class EntrySorter {
 public:
  // False past the budget (the scratch is counted against it).
  bool sort(OrvValue::Dictionary& entries, ParseBudget& budget) {
    const std::size_t n = entries.size();
    const std::size_t before = keys_.capacity();
    keys_.resize(2 * n);
    if (!budget.spendScratch((keys_.capacity() - before) * sizeof(Key))) return false;
    for (std::size_t i = 0; i < n; ++i)
      keys_[i] = Key{chunkOf(entries[i].first, 0), static_cast<std::uint32_t>(i)};
    Sort sort(entries);
    sort.buffered(keys_.data(), keys_.data() + n, n, 0);
    if (n > kPermuteUpTo && n <= kMoveUpTo) {
      // Moved to a vector of their own in order: independent reads, sequential writes.
      if (!budget.spendScratch(heapBlockBytes(n * sizeof(OrvValue::Entry)))) return false;
      OrvValue::Dictionary sorted;
      sorted.reserve(n);
      for (std::size_t i = 0; i < n; ++i) sorted.push_back(std::move(entries[keys_[i].index]));
      entries.swap(sorted);
      budget.giveBackScratch(heapBlockBytes(n * sizeof(OrvValue::Entry)));
    } else {
      permute(entries);
    }
    // Equal keys are sorted by position: the last one written is kept.
    if (sort.mayRepeat) OrvValue::Builder::dropRepeatedKeys(entries);
    // A large object's scratch is given back rather than kept for smaller ones.
    if (keys_.capacity() > kKeepScratch) {
      budget.giveBackScratch(keys_.capacity() * sizeof(Key));
      keys_ = std::vector<Key>();
    }
    return true;
  }

 private:
  static constexpr std::size_t kMoveUpTo = 65536;
  static constexpr std::size_t kPermuteUpTo = 32;  // a few entries: no vector for them
  static constexpr std::size_t kKeepScratch = 8192;
  struct Key {
    std::uint64_t chunk;  // the key's eight bytes from the sort's current offset
    std::uint32_t index;  // into the entries, as written
  };

  // Bytes [offset, offset + 8) of `key`, zeros past its end, as one big-endian number:
  // numbers compare as the bytes do.
  static std::uint64_t chunkOf(const std::string& key, std::size_t offset) noexcept {
    std::uint64_t chunk = 0;
    if (key.size() >= offset + 8) {
      std::memcpy(&chunk, key.data() + offset, 8);
      if constexpr (std::endian::native == std::endian::little) chunk = __builtin_bswap64(chunk);
      return chunk;
    }
    for (std::size_t i = offset; i < key.size(); ++i)
      chunk |= std::uint64_t{static_cast<unsigned char>(key[i])} << (56 - 8 * (i - offset));
    return chunk;
  }

  // Puts entries[keys_[k].index] at k for every k: each cycle of the permutation moves
  // its entries once, and a key's index is pointed at itself once its entry is in place.
  void permute(OrvValue::Dictionary& entries) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (keys_[i].index == i) continue;
      OrvValue::Entry held = std::move(entries[i]);
      std::size_t at = i;
      for (;;) {
        const std::size_t from = keys_[at].index;
        keys_[at].index = static_cast<std::uint32_t>(at);
        if (from == i) {
          entries[at] = std::move(held);
          break;
        }
        entries[at] = std::move(entries[from]);
        at = from;
      }
    }
  }

  struct Sort {
    static constexpr int kParts = 4;

    explicit Sort(OrvValue::Dictionary& sorted) : entries(sorted) {}

    OrvValue::Dictionary& entries;
    bool mayRepeat = false;  // some keys were found equal over all their bytes
    // A pass's counts for each part and byte: a run is sorted after its range's passes
    // are done, so one set serves every range.
    std::uint32_t count_[kParts][256];

    bool less(const Key& a, const Key& b) noexcept {
      if (a.chunk != b.chunk) return a.chunk < b.chunk;
      if (const int c = entries[a.index].first.compare(entries[b.index].first)) return c < 0;
      mayRepeat = true;
      return a.index < b.index;
    }

    // Few keys: a comparison sort of the whole keys (insertion for the fewest), cheaper
    // than a radix pass's counts.
    bool small(Key* first, Key* last) {
      if (last - first > 256) return false;
      if (last - first > 32) {
        std::sort(first, last, [this](const Key& a, const Key& b) { return less(a, b); });
        return true;
      }
      for (Key* k = first + 1; k < last; ++k) {
        const Key key = *k;
        Key* to = k;
        for (; to > first && less(key, to[-1]); --to) *to = to[-1];
        *to = key;
      }
      return true;
    }

    // Keys sharing their current eight bytes: on to the next eight, or, when a key ends
    // there (equal keys, or a key that others extend with NULs), a comparison sort of
    // the whole keys. False when sorted.
    bool advance(Key* first, Key* last, std::size_t& offset) {
      offset += 8;
      for (Key* k = first; k < last; ++k) {
        if (entries[k->index].first.size() <= offset) {
          mayRepeat = true;
          std::sort(first, last, [this](const Key& a, const Key& b) { return less(a, b); });
          return false;
        }
      }
      for (Key* k = first; k < last; ++k) k->chunk = chunkOf(entries[k->index].first, offset);
      return true;
    }

    // Least significant byte first over the bytes that differ, stable, through `buffer`
    // (as many keys); then each run of equal chunks is sorted on its next bytes. Runs
    // other than the largest (each at most half the range) are sorted by a call of their
    // own and the largest by the loop, so the calls nest at most log2(n) deep whatever
    // the keys.
    void buffered(Key* keys, Key* buffer, std::size_t n, std::size_t offset) {
      for (;;) {
        if (small(keys, keys + n)) return;
        std::uint64_t differs = 0;
        for (std::size_t i = 1; i < n; ++i) differs |= keys[i].chunk ^ keys[0].chunk;
        if (differs == 0) {
          if (!advance(keys, keys + n, offset)) return;
          continue;
        }
        int shifts[8];
        int passes = 0;
        for (int shift = 0; shift < 64; shift += 8) {
          if ((differs >> shift) & 0xFF) shifts[passes++] = shift;
        }
        // Each pass takes the keys as kParts parts side by side, each part with counts of
        // its own: a bucket's count is then no chain of increments through memory.
        // Within a bucket the parts keep their order, so each pass stays stable.
        const std::size_t part = n / kParts;
        Key* from = keys;
        Key* to = buffer;
        for (int p = 0; p < passes; ++p) {
          const int shift = shifts[p];
          std::memset(count_, 0, sizeof count_);
          for (std::size_t i = 0; i < part; ++i) {
            for (int k = 0; k < kParts; ++k)
              ++count_[k][(from[k * part + i].chunk >> shift) & 0xFF];
          }
          for (std::size_t i = kParts * part; i < n; ++i)
            ++count_[kParts - 1][(from[i].chunk >> shift) & 0xFF];
          std::uint32_t at = 0;
          for (int d = 0; d < 256; ++d) {
            for (auto& counts : count_) {
              const std::uint32_t here = counts[d];
              counts[d] = at;
              at += here;
            }
          }
          for (std::size_t i = 0; i < part; ++i) {
            for (int k = 0; k < kParts; ++k) {
              const Key& key = from[k * part + i];
              to[count_[k][(key.chunk >> shift) & 0xFF]++] = key;
            }
          }
          for (std::size_t i = kParts * part; i < n; ++i)
            to[count_[kParts - 1][(from[i].chunk >> shift) & 0xFF]++] = from[i];
          std::swap(from, to);
        }
        if (from != keys) std::copy(from, from + n, keys);
        std::size_t largest = 0, largestSize = 1;
        for (std::size_t i = 0; i < n;) {
          std::size_t j = i + 1;
          while (j < n && keys[j].chunk == keys[i].chunk) ++j;
          if (j - i > largestSize) {
            if (largestSize > 1) buffered(keys + largest, buffer + largest, largestSize, offset);
            largest = i;
            largestSize = j - i;
          } else if (j - i > 1) {
            buffered(keys + i, buffer + i, j - i, offset);
          }
          i = j;
        }
        if (largestSize == 1) return;
        keys += largest;
        buffer += largest;
        n = largestSize;
      }
    }
  };

  std::vector<Key> keys_;
};

// Builds a document from a DOM that simdjson has already validated: every node in the
// document's arenas, children as borrowed handles, and the memory it takes counted
// against the budget as it goes. Children are converted in the order written, straight
// into their parent's vector; an object whose keys are not written in order is sorted
// afterwards.
class DomBuilder {
 public:
  // `documentBytes`: the simdjson document the nodes are read from (phase 2's base);
  // `textBytes`: the text's size (phase 3 counts a copy of it).
  DomBuilder(std::size_t budget, std::size_t documentBytes, std::size_t textBytes)
      : budget_(budget, documentBytes), document_(new OrvDocument()), textBytes_(textBytes) {}
  ~DomBuilder() { delete document_; }

  bool overBudget() const { return budget_.exceeded; }

  // The root as an owning handle (the document's one reference), or false when too deep
  // or over the budget.
  bool build(simdjson::dom::element root, OrvValue& out) {
    if (!convert(root, 0, out)) return false;
    if (!budget_.spend(document_->spareBytes()) ||
        !budget_.settle(afterBytes(features_, records_, textBytes_)))
      return false;
    if (OrvValue::Builder::node(out) == nullptr) return true;  // a scalar: no document needed
    out = OrvValue::Builder::owning(OrvValue::Builder::kind(out), OrvValue::Builder::node(out));
    document_->refs.store(1, std::memory_order_relaxed);
    document_ = nullptr;  // owned by `out` now
    return true;
  }

 private:
  using Kind = OrvValue::Kind;

  // simdjson saturates a container's count at 2^24 - 1: past that, count by walking.
  template <class Container>
  static std::size_t sizeOf(const Container& c) {
    std::size_t n = c.size();
    if (n == 0xFFFFFF) n = static_cast<std::size_t>(std::distance(c.begin(), c.end()));
    return n;
  }

  // Converts `e` into `out`, and leaves its nesting depth in levels_.
  bool convert(simdjson::dom::element e, int depth, OrvValue& out) {
    using simdjson::dom::element_type;
    levels_ = 0;
    switch (e.type()) {
      case element_type::ARRAY:
        return depth < OrvValue::kMaxNestingDepth &&
               array(e.get_array().value_unsafe(), depth, out);
      case element_type::OBJECT:
        return depth < OrvValue::kMaxNestingDepth &&
               object(e.get_object().value_unsafe(), depth, out);
      case element_type::STRING: {
        const std::string_view text = e.get_string().value_unsafe();
        if (!budget_.spend(sizeof(OrvStringNode) + stringHeapBytes(text.size()))) return false;
        out = OrvValue::Builder::borrowed(Kind::kString, document_->strings.make(document_, text));
        return true;
      }
      case element_type::INT64:
        out = OrvValue(e.get_int64().value_unsafe());
        return true;
      case element_type::UINT64:
        out = OrvValue(e.get_uint64().value_unsafe());
        return true;
      case element_type::DOUBLE:
        out = OrvValue(e.get_double().value_unsafe());
        return true;
      case element_type::BOOL:
        out = OrvValue(e.get_bool().value_unsafe());
        return true;
      case element_type::NULL_VALUE:
        out = OrvValue::null();
        return true;
    }
    return false;
  }

  bool array(simdjson::dom::array arr, int depth, OrvValue& out) {
    const std::size_t n = sizeOf(arr);
    if (!budget_.spend(sizeof(OrvArrayNode) + heapBlockBytes(n * sizeof(OrvValue)))) return false;
    OrvArrayNode* node = document_->arrays.make();
    node->block = document_;
    node->inDocument = true;
    node->elements.reserve(n);
    std::uint32_t deepest = 0;
    for (simdjson::dom::element child : arr) {
      if (child.type() == simdjson::dom::element_type::OBJECT) ++records_;
      OrvValue& converted = node->elements.emplace_back();
      if (!convert(child, depth + 1, converted)) return false;
      deepest = std::max(deepest, levels_);
    }
    node->depth = levels_ = deepest + 1;
    out = OrvValue::Builder::borrowed(Kind::kArray, node);
    return true;
  }

  bool object(simdjson::dom::object obj, int depth, OrvValue& out) {
    const std::size_t n = sizeOf(obj);
    if (!budget_.spend(sizeof(OrvDictionaryNode) + heapBlockBytes(n * sizeof(OrvValue::Entry))))
      return false;
    OrvDictionaryNode* node = document_->dictionaries.make();
    node->block = document_;
    node->inDocument = true;
    OrvValue::Dictionary& entries = node->entries;
    entries.reserve(n);
    std::uint32_t deepest = 0;
    bool ordered = true;  // each key after the one before it: no sort needed
    std::string_view previous;
    for (simdjson::dom::key_value_pair field : obj) {
      if (!budget_.spend(stringHeapBytes(field.key.size()))) return false;
      if (ordered && !entries.empty()) ordered = previous < field.key;
      previous = field.key;
      OrvValue& converted =
          entries
              .emplace_back(std::piecewise_construct,
                            std::forward_as_tuple(field.key.data(), field.key.size()),
                            std::forward_as_tuple())
              .second;
      if (!convert(field.value, depth + 1, converted)) return false;
      deepest = std::max(deepest, levels_);
    }
    if (!ordered) {
      if (!sorter_.sort(entries, budget_)) return false;
      if (entries.size() < n) {  // a repeated key: what it replaced no longer counts
        deepest = 0;
        for (const auto& entry : entries) deepest = std::max(deepest, entry.second.nestingDepth());
      }
    }
    if (depth <= 1) features_ = std::max(features_, entries.size());
    node->depth = levels_ = deepest + 1;
    out = OrvValue::Builder::borrowed(Kind::kDictionary, node);
    return true;
  }

  ParseBudget budget_;
  OrvDocument* document_;  // owned until build() hands it to the root handle
  std::size_t textBytes_;
  EntrySorter sorter_;
  // For the table margin (phase 3): the largest dictionary in the top two levels, and
  // the dictionaries held by arrays (experiment entries, in a payload).
  std::size_t features_ = 0;
  std::size_t records_ = 0;
  std::uint32_t levels_ = 0;  // of the value convert() made last
};

// The slow path: walks the input with the on-demand API. Gives the value (for inputs
// the DOM parser refuses only for their numbers) or an error with its byte offset.
// `parserBytes`: the padded copy and what the walk's parser touches.
OrvValue::ParseResult parseOnDemand(const simdjson::padded_string& padded, std::size_t budget,
                                    std::size_t parserBytes) {
  // Kept per thread for small texts, as the DOM parser is (see parseJson).
  thread_local od::parser kept;
  std::optional<od::parser> own;
  od::parser& parser = padded.size() <= kKeepParserUpTo ? kept : own.emplace();
  OrvValue::ParseResult result;
  od::document doc;
  error_code error = parser.iterate(padded).get(doc);
  if (error != simdjson::SUCCESS) {
    if (error == simdjson::MEMALLOC) throw std::bad_alloc();
    result.error = std::string("JSON error: ") + simdjson::error_message(error);
    return result;
  }
  Converter converter(padded.data(), budget, parserBytes);
  od::json_type type{};
  if (!converter.check(doc.type().get(type), doc)) {
    result.error = converter.message;
    return result;
  }
  OrvValue out;
  bool ok;
  const char* rest = nullptr;
  if (type == od::json_type::array || type == od::json_type::object) {
    od::value root;
    ok = converter.check(doc.get_value().get(root), doc) && converter.value(root, 0, out) &&
         converter.settle(doc, padded.size());
    if (ok && doc.current_location().get(rest) == simdjson::SUCCESS)
      ok = converter.fail("unexpected content after the JSON value", doc);
  } else {
    // Only reached for a scalar the DOM parser refused, and its refusal stands unless a
    // number was the trouble, which rootNumber() settles first: the on-demand iterator
    // cannot tell what follows a scalar root.
    ok = converter.scalar(doc, type, out);
  }
  if (!ok) {
    result.error = converter.message.empty() ? "JSON error" : converter.message;
    result.tooCostly = converter.overBudget();
    return result;
  }
  result.value = std::move(out);
  return result;
}

simdjson::dom::parser& keptParser() {
  thread_local simdjson::dom::parser parser;
  return parser;
}

// The error for a text over its budget.
OrvValue::ParseResult overBudget() {
  OrvValue::ParseResult result;
  result.error = "JSON error: loading the value needs more than " +
                 std::to_string(OrvValue::kMaxParseCostPerByte) +
                 " bytes of memory per byte of text";
  result.tooCostly = true;
  return result;
}

}  // namespace

OrvValue::ParseResult OrvValue::parseJson(std::string_view text) {
  ParseResult result;
  const std::size_t n = text.size();
  const std::size_t budget = std::max(kMinParseBudget, n * kMaxParseCostPerByte);
  // What the parsers touch: counted by the census when the text could be over budget,
  // else known (the tape) or bounded (a structural index per byte at most, the string
  // buffer by what simdjson allocates for it) once parsed.
  std::size_t documentBytes = 0;
  std::size_t walkBytes = n + simdjson::SIMDJSON_PADDING + 4 * n + 2 * n;
  if (n > kCensusAbove) {
    const Census census = takeCensus(text);
    if (census.parseBytes(n) > budget || census.floorBytes(n) > budget) return overBudget();
    documentBytes = census.documentBytes();
    walkBytes = n + simdjson::SIMDJSON_PADDING + 4 * census.tokens + census.stringBytes;
  }
  // A thread keeps its parser for small texts (events read back, overrides, JSON handed
  // over by the application: frequent, and each would otherwise allocate the parser's
  // buffers anew), so those buffers stay at most about 14 times kKeepParserUpTo. A
  // larger text gets a parser and a document of its own: the parser (the structural
  // indexes, the padded copy) is given back before building, the document once built.
  std::optional<simdjson::dom::parser> own;
  std::optional<simdjson::dom::document> ownDocument;
  simdjson::dom::element root;
  error_code error;
  if (n <= kKeepParserUpTo) {
    simdjson::dom::parser& kept = keptParser();
    // Grown in powers of two (up to the cap) rather than to each longer text.
    if (kept.capacity() < n && kept.allocate(std::min(std::bit_ceil(std::max<std::size_t>(n, 256)),
                                                      kKeepParserUpTo)) != simdjson::SUCCESS)
      throw std::bad_alloc();
    error = kept.parse(text.data(), n).get(root);  // into the parser's own padded copy
  } else {
    own.emplace();
    ownDocument.emplace();
    {
      const simdjson::padded_string padded(text);
      error = own->parse_into_document(*ownDocument, padded).get(root);
    }
    own.reset();
  }
  if (error == simdjson::SUCCESS) {
    if (documentBytes == 0) {
      // The root's first word holds the index of its last.
      const simdjson::dom::document& doc = ownDocument ? *ownDocument : keptParser().doc;
      documentBytes = 8 * ((doc.tape[0] & simdjson::internal::JSON_VALUE_MASK) + 1) + 5 * n / 3 +
                      2 * simdjson::SIMDJSON_PADDING;
    }
    DomBuilder builder(budget, documentBytes, n);
    if (builder.build(root, result.value)) return result;
    result.value = OrvValue();
    if (builder.overBudget()) return overBudget();
    result.error =
        "JSON error: nesting deeper than " + std::to_string(kMaxNestingDepth) + " levels";
    return result;
  }
  ownDocument.reset();
  // The parser's buffers could not be had: the same failure as our own allocations,
  // not a malformed text.
  if (error == simdjson::MEMALLOC) throw std::bad_alloc();
  if (error == simdjson::UTF8_ERROR) {
    const std::size_t at = firstInvalidUtf8(text);
    result.error = "JSON error at byte " + std::to_string(at == std::string_view::npos ? 0 : at) +
                   ": invalid UTF-8";
    return result;
  }
  if (error == simdjson::DEPTH_ERROR) {
    result.error =
        "JSON error: nesting deeper than " + std::to_string(kMaxNestingDepth) + " levels";
    return result;
  }
  if (error == simdjson::NUMBER_ERROR && rootNumber(text, result)) return result;
  ParseResult slow = parseOnDemand(simdjson::padded_string(text), budget, walkBytes);
  if (!slow.ok()) return slow;
  if (error == simdjson::NUMBER_ERROR) return slow;
  // The on-demand walk accepted what the DOM parser refused: trust the refusal.
  result.error = std::string("JSON error: ") + simdjson::error_message(error);
  return result;
}
