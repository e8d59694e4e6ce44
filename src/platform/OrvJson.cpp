// JSON text to OrvValue. The fast path is simdjson's DOM parser, which picks the best
// SIMD kernel at run time. When it fails, the input is walked again with the on-demand
// API, which can say where the input went wrong and can also read integers too large
// for 64 bits or beyond the range of a double (the DOM parser rejects those).
// Recursion is bounded by OrvValue::kMaxNestingDepth on both paths.
#include <simdjson.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <type_traits>

#include "OrvExperiment/OrvValue.h"

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

class Converter {
 public:
  Converter(const char* base) : base_(base) {}

  // The error to report, with its position when simdjson can name it.
  std::string message;

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
        if (!check(v.get_string().get(s), v)) return false;
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
      if (!value(child, depth, converted)) return false;
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
      if (!check(f.unescaped_key().get(key), v)) return false;
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
    std::string text(token);
    char* end = nullptr;
    double d = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || std::isnan(d)) return fail("invalid number", v);
    if (std::isinf(d)) d = std::copysign(std::numeric_limits<double>::max(), d);
    out = OrvValue(d);
    return true;
  }

  const char* base_;
};

// Converts a DOM element that simdjson has already validated.
bool fromDom(simdjson::dom::element e, int depth, OrvValue& out) {
  using simdjson::dom::element_type;
  switch (e.type()) {
    case element_type::ARRAY: {
      if (depth >= OrvValue::kMaxNestingDepth) return false;
      simdjson::dom::array arr = e.get_array().value_unsafe();
      OrvValue::Array elements;
      elements.reserve(arr.size());
      for (simdjson::dom::element child : arr) {
        OrvValue converted;
        if (!fromDom(child, depth + 1, converted)) return false;
        elements.push_back(std::move(converted));
      }
      out = OrvValue::array(std::move(elements));
      return true;
    }
    case element_type::OBJECT: {
      if (depth >= OrvValue::kMaxNestingDepth) return false;
      simdjson::dom::object obj = e.get_object().value_unsafe();
      OrvValue::Dictionary entries;
      entries.reserve(obj.size());
      for (auto field : obj) {
        OrvValue converted;
        if (!fromDom(field.value, depth + 1, converted)) return false;
        entries.emplace_back(std::string(field.key), std::move(converted));
      }
      out = OrvValue::dictionary(std::move(entries));
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
    case element_type::STRING:
      out = OrvValue(std::string(e.get_string().value_unsafe()));
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

// The slow path: walks the input with the on-demand API. Gives the value (for inputs
// the DOM parser refuses only for their numbers) or an error with its byte offset.
OrvValue::ParseResult parseOnDemand(const simdjson::padded_string& padded) {
  thread_local od::parser parser;
  OrvValue::ParseResult result;
  od::document doc;
  error_code error = parser.iterate(padded).get(doc);
  if (error != simdjson::SUCCESS) {
    result.error = std::string("JSON error: ") + simdjson::error_message(error);
    return result;
  }
  Converter converter(padded.data());
  od::json_type type{};
  if (!converter.check(doc.type().get(type), doc)) {
    result.error = converter.message;
    return result;
  }
  OrvValue out;
  bool ok;
  if (type == od::json_type::array || type == od::json_type::object) {
    od::value root;
    ok = converter.check(doc.get_value().get(root), doc) && converter.value(root, 0, out);
  } else {
    ok = converter.scalar(doc, type, out);
  }
  const char* rest = nullptr;
  if (ok && doc.current_location().get(rest) == simdjson::SUCCESS) {
    ok = converter.fail("unexpected content after the JSON value", doc);
  }
  if (!ok) {
    result.error = converter.message.empty() ? "JSON error" : converter.message;
    return result;
  }
  result.value = std::move(out);
  return result;
}

}  // namespace

OrvValue::ParseResult OrvValue::parseJson(std::string_view text) {
  // One parser per thread: parsers keep their buffers between documents and are not
  // safe to share.
  thread_local simdjson::dom::parser parser;
  simdjson::padded_string padded(text);
  ParseResult result;
  simdjson::dom::element root;
  const error_code error = parser.parse(padded).get(root);
  if (error == simdjson::SUCCESS) {
    if (fromDom(root, 0, result.value)) return result;
    result.value = OrvValue();
    result.error =
        "JSON error: nesting deeper than " + std::to_string(kMaxNestingDepth) + " levels";
    return result;
  }
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
  ParseResult slow = parseOnDemand(padded);
  if (!slow.ok()) return slow;
  if (error == simdjson::NUMBER_ERROR) return slow;
  // The on-demand walk accepted what the DOM parser refused: trust the refusal.
  result.error = std::string("JSON error: ") + simdjson::error_message(error);
  return result;
}
