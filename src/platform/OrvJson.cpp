// JSON text to OrvValue. The fast path is simdjson's DOM parser, which picks the best
// SIMD kernel at run time. When it fails, the input is walked again with the on-demand
// API, which can say where the input went wrong and can also read integers too large
// for 64 bits or beyond the range of a double (the DOM parser rejects those).
// Recursion is bounded by OrvValue::kMaxNestingDepth on both paths.
#include <simdjson.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <type_traits>

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

// What the value being built takes, counted against the text's memory budget.
class ParseBudget {
 public:
  explicit ParseBudget(std::size_t limit) : limit_(limit) {}
  // False once the total passes the limit.
  bool spend(std::size_t bytes) {
    spent_ += bytes;
    exceeded = exceeded || spent_ > limit_;
    return !exceeded;
  }
  // A string's node, and its heap block when it does not fit the inline buffer.
  static std::size_t stringBytes(std::size_t length) {
    return sizeof(OrvStringNode) + keyBytes(length);
  }
  // A key's heap block, if any: the entry holding it is counted with its dictionary.
  static std::size_t keyBytes(std::size_t length) {
    return length < sizeof(std::string) / 2 ? 0 : length + 1;
  }

  bool exceeded = false;

 private:
  std::size_t limit_;
  std::size_t spent_ = 0;
};

class Converter {
 public:
  Converter(const char* base, std::size_t budget) : base_(base), budget_(budget) {}

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
        if (!check(v.get_string().get(s), v) || !spend(ParseBudget::stringBytes(s.size()), v))
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
    if (!check(v.get_array().get(arr), v)) return false;
    OrvValue::Array elements;
    for (auto element : arr) {
      od::value child;
      if (!check(std::move(element).get(child), v)) return false;
      OrvValue converted;
      if (!spend(sizeof(OrvValue), v) || !value(child, depth, converted)) return false;
      elements.push_back(std::move(converted));
    }
    out = OrvValue::array(std::move(elements));
    return true;
  }

  bool object(od::value v, int depth, OrvValue& out) {
    od::object obj;
    if (!check(v.get_object().get(obj), v)) return false;
    OrvValue::Dictionary entries;
    for (auto field : obj) {
      od::field f;
      if (!check(std::move(field).get(f), v)) return false;
      std::string_view key;
      if (!check(f.unescaped_key().get(key), v) ||
          !spend(sizeof(OrvValue::Entry) + ParseBudget::keyBytes(key.size()), v))
        return false;
      OrvValue converted;
      if (!value(f.value(), depth, converted)) return false;
      entries.emplace_back(std::string(key), std::move(converted));
    }
    out = OrvValue::dictionary(std::move(entries));
    return true;
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
};

// Builds a document from a DOM that simdjson has already validated: every node in the
// document's arenas, children as borrowed handles, and the memory it takes counted
// against the budget as it goes.
class DomBuilder {
 public:
  explicit DomBuilder(std::size_t budget) : budget_(budget), document_(new OrvDocument()) {}
  ~DomBuilder() {
    if (document_) delete document_;
  }

  bool overBudget() const { return budget_.exceeded; }

  // The root as an owning handle (the document's one reference), or false when too deep
  // or over the budget.
  bool build(simdjson::dom::element root, OrvValue& out) {
    if (!convert(root, 0, out)) return false;
    if (OrvValue::Builder::node(out) == nullptr) return true;  // a scalar: no document needed
    out = OrvValue::Builder::owning(OrvValue::Builder::kind(out), OrvValue::Builder::node(out));
    document_->refs.store(1, std::memory_order_relaxed);
    document_ = nullptr;  // owned by `out` now
    return true;
  }

 private:
  bool convert(simdjson::dom::element e, int depth, OrvValue& out) {
    using simdjson::dom::element_type;
    using Kind = OrvValue::Kind;
    switch (e.type()) {
      case element_type::ARRAY: {
        if (depth >= OrvValue::kMaxNestingDepth) return false;
        simdjson::dom::array arr = e.get_array().value_unsafe();
        const std::size_t n = arr.size();
        if (!budget_.spend(sizeof(OrvArrayNode) + n * sizeof(OrvValue))) return false;
        OrvArrayNode* node = document_->arrays.make();
        node->block = document_;
        node->inDocument = true;
        node->elements.reserve(n);
        std::uint32_t deepest = 0;
        for (simdjson::dom::element child : arr) {
          OrvValue converted;
          if (!convert(child, depth + 1, converted)) return false;
          deepest = std::max(deepest, converted.nestingDepth());
          node->elements.push_back(std::move(converted));
        }
        node->depth = deepest + 1;
        out = OrvValue::Builder::borrowed(Kind::kArray, node);
        return true;
      }
      case element_type::OBJECT: {
        if (depth >= OrvValue::kMaxNestingDepth) return false;
        // Sort keys of 16 bytes are sorted before any entry is made, so no entry (a
        // string and a handle) is ever moved; nested objects use the scratch beyond this
        // one's range, which is why it is addressed by index.
        const std::size_t begin = fields_.size();
        simdjson::dom::object obj = e.get_object().value_unsafe();
        for (auto field : obj) {
          keys_.push_back(
              Key{prefixOf(field.key), static_cast<std::uint32_t>(fields_.size() - begin)});
          fields_.push_back(Field{field.key, field.value});
        }
        const std::size_t end = fields_.size();
        const std::size_t n = end - begin;
        const std::size_t keysBegin = keys_.size() - n;
        const auto first = keys_.begin() + static_cast<std::ptrdiff_t>(keysBegin);
        const auto before = [&](const Key& a, const Key& b) {
          if (a.prefix != b.prefix) return a.prefix < b.prefix;
          if (const int c = fields_[begin + a.index].key.compare(fields_[begin + b.index].key))
            return c < 0;
          return a.index < b.index;
        };
        if (std::adjacent_find(first, keys_.end(), [&](const Key& a, const Key& b) {
              return !before(a, b);
            }) != keys_.end())
          std::sort(first, keys_.end(), before);
        if (!budget_.spend(sizeof(OrvDictionaryNode) + n * sizeof(OrvValue::Entry))) return false;
        OrvDictionaryNode* node = document_->dictionaries.make();
        node->block = document_;
        node->inDocument = true;
        node->entries.reserve(n);
        std::uint32_t deepest = 0;
        for (std::size_t k = keysBegin; k < keysBegin + n; ++k) {
          // Nested objects push beyond this range and truncate again: indices stay valid.
          const Field field = fields_[begin + keys_[k].index];
          // Of equal keys the last one written wins; it sorts last among them.
          if (k + 1 < keysBegin + n && keys_[k + 1].prefix == keys_[k].prefix &&
              fields_[begin + keys_[k + 1].index].key == field.key)
            continue;
          OrvValue converted;
          if (!budget_.spend(ParseBudget::keyBytes(field.key.size())) ||
              !convert(field.value, depth + 1, converted))
            return false;
          deepest = std::max(deepest, converted.nestingDepth());
          node->entries.emplace_back(std::string(field.key), std::move(converted));
        }
        keys_.resize(keysBegin);
        fields_.resize(begin);
        node->depth = deepest + 1;
        out = OrvValue::Builder::borrowed(Kind::kDictionary, node);
        return true;
      }
      case element_type::STRING: {
        const std::string_view text = e.get_string().value_unsafe();
        if (!budget_.spend(ParseBudget::stringBytes(text.size()))) return false;
        OrvStringNode* node = document_->strings.make();
        node->block = document_;
        node->text.assign(text);
        out = OrvValue::Builder::borrowed(Kind::kString, node);
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

  // An object's field awaiting conversion, in the order written.
  struct Field {
    std::string_view key;
    simdjson::dom::element value;
  };
  // What an object's fields are sorted by: the key's first eight bytes as one big-endian
  // number (which settle most comparisons), then the whole key, then the position.
  struct Key {
    std::uint64_t prefix;
    std::uint32_t index;  // into the object's fields
  };
  static std::uint64_t prefixOf(std::string_view key) noexcept {
    std::uint64_t prefix = 0;
    const std::size_t n = std::min<std::size_t>(key.size(), 8);
    for (std::size_t i = 0; i < n; ++i)
      prefix |= std::uint64_t{static_cast<unsigned char>(key[i])} << (56 - 8 * i);
    return prefix;
  }

  ParseBudget budget_;
  OrvDocument* document_;  // owned until build() hands it to the root handle
  // Stacks of the objects being converted: a nested object uses the part beyond its
  // parent's and gives it back.
  std::vector<Field> fields_;
  std::vector<Key> keys_;
};

// A lower bound of what parsing `text` costs (the parser's tape plus our handles and
// string nodes), from one pass counting values outside strings. Lets a text that is
// certainly over its budget be refused before the parser allocates anything for it.
std::size_t estimatedCost(std::string_view text) {
  std::size_t values = 1, strings = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
      ++strings;
    } else if (c == ',' || c == '[' || c == '{') {
      ++values;
    }
  }
  constexpr std::size_t kTapePerValue = 16;
  return values * (kTapePerValue + sizeof(OrvValue)) + strings * sizeof(OrvStringNode);
}

// The slow path: walks the input with the on-demand API. Gives the value (for inputs
// the DOM parser refuses only for their numbers) or an error with its byte offset.
OrvValue::ParseResult parseOnDemand(const simdjson::padded_string& padded, std::size_t budget) {
  thread_local od::parser parser;
  OrvValue::ParseResult result;
  od::document doc;
  error_code error = parser.iterate(padded).get(doc);
  if (error != simdjson::SUCCESS) {
    result.error = std::string("JSON error: ") + simdjson::error_message(error);
    return result;
  }
  Converter converter(padded.data(), budget);
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
    ok = converter.check(doc.get_value().get(root), doc) && converter.value(root, 0, out);
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

}  // namespace

OrvValue::ParseResult OrvValue::parseJson(std::string_view text) {
  ParseResult result;
  const std::size_t budget = std::max(kMinParseBudget, text.size() * kMaxParseCostPerByte);
  // Only a text of more than budget/cost-per-byte can be over it: small texts skip the scan.
  if (text.size() > kMinParseBudget / kMaxParseCostPerByte && estimatedCost(text) > budget) {
    result.error = "JSON error: the value needs more than " + std::to_string(kMaxParseCostPerByte) +
                   " bytes of memory per byte of text";
    result.tooCostly = true;
    return result;
  }
  // One parser per thread: parsers keep their buffers between documents and are not
  // safe to share. A large text gets a parser of its own, so its buffers (several times
  // the text) are given back as soon as it is parsed.
  constexpr std::size_t kKeepParserUpTo = std::size_t{1} << 20;
  thread_local simdjson::dom::parser shared;
  std::optional<simdjson::dom::parser> own;
  simdjson::dom::parser& parser = text.size() <= kKeepParserUpTo ? shared : own.emplace();
  std::optional<simdjson::padded_string> padded(std::in_place, text);
  simdjson::dom::element root;
  const error_code error = parser.parse(*padded).get(root);
  if (error == simdjson::SUCCESS) {
    padded.reset();  // the parsed document keeps its own copy of every string
    DomBuilder builder(budget);
    if (builder.build(root, result.value)) return result;
    result.value = OrvValue();
    result.tooCostly = builder.overBudget();
    result.error = builder.overBudget() ? std::string("JSON error: ") + kOverBudget
                                        : "JSON error: nesting deeper than " +
                                              std::to_string(kMaxNestingDepth) + " levels";
    return result;
  }
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
  ParseResult slow = parseOnDemand(*padded, budget);
  if (!slow.ok()) return slow;
  if (error == simdjson::NUMBER_ERROR) return slow;
  // The on-demand walk accepted what the DOM parser refused: trust the refusal.
  result.error = std::string("JSON error: ") + simdjson::error_message(error);
  return result;
}
