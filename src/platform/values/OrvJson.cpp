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
#include "platform/values/OrvJsonBudget.h"
#include "platform/values/OrvJsonKeySort.h"
#include "platform/values/OrvValueNode.h"

namespace {

using simdjson::error_code;
namespace od = simdjson::ondemand;
using namespace orv_json;

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
