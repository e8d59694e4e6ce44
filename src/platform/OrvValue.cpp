#include "OrvExperiment/OrvValue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/OrvValueNode.h"

namespace {

// Shared empties are leaked on purpose: readers may run on worker threads while the
// process exits, after function-local statics would have been destroyed.
const std::string& emptyString() {
  static const std::string* s = new std::string();
  return *s;
}
const OrvValue::Array& emptyArray() {
  static const OrvValue::Array* a = new OrvValue::Array();
  return *a;
}
const OrvValue::Dictionary& emptyDictionary() {
  static const OrvValue::Dictionary* d = new OrvValue::Dictionary();
  return *d;
}
const OrvValue& absentValue() {
  static const OrvValue* v = new OrvValue();
  return *v;
}

constexpr int kDecimalMaxDigits = 18;  // always fits an int64 mantissa
constexpr int kDecimalMinExponent = -128;
constexpr int kDecimalMaxExponent = 127;

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

OrvDecimal normalise(std::int64_t mantissa, std::int32_t exponent) {
  if (mantissa == 0) return {0, 0};
  while (mantissa % 10 == 0) {
    mantissa /= 10;
    ++exponent;
  }
  return {mantissa, exponent};
}

std::string decimalText(const OrvDecimal& d) {
  if (d.mantissa == 0) return "0";
  const bool negative = d.mantissa < 0;
  // Magnitude as unsigned so that INT64_MIN does not overflow.
  std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(d.mantissa)
                                     : static_cast<std::uint64_t>(d.mantissa);
  std::string digits = std::to_string(magnitude);
  std::string out = negative ? "-" : "";
  if (d.exponent >= 0) {
    out += digits;
    out.append(static_cast<std::size_t>(d.exponent), '0');
    return out;
  }
  const std::size_t fraction = static_cast<std::size_t>(-static_cast<std::int64_t>(d.exponent));
  if (digits.size() > fraction) {
    out += digits.substr(0, digits.size() - fraction);
    out += '.';
    out += digits.substr(digits.size() - fraction);
  } else {
    out += "0.";
    out.append(fraction - digits.size(), '0');
    out += digits;
  }
  return out;
}

std::int64_t saturatingFromDouble(double d) {
  if (std::isnan(d)) return 0;
  if (d >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(d);
}

std::int64_t decimalToInt64(const OrvDecimal& d) {
  if (d.exponent < 0) {
    if (d.exponent < -18) return 0;
    std::int64_t divisor = 1;
    for (int i = 0; i < -d.exponent; ++i) divisor *= 10;
    return d.mantissa / divisor;
  }
  std::int64_t value = d.mantissa;
  for (int i = 0; i < d.exponent; ++i) {
    if (value > std::numeric_limits<std::int64_t>::max() / 10)
      return std::numeric_limits<std::int64_t>::max();
    if (value < std::numeric_limits<std::int64_t>::min() / 10)
      return std::numeric_limits<std::int64_t>::min();
    value *= 10;
  }
  return value;
}

double decimalToDouble(const OrvDecimal& d) {
  // Going through the canonical text gives the correctly rounded double.
  const std::string text = decimalText(d);
  return std::strtod(text.c_str(), nullptr);
}

void appendJsonString(std::string& out, std::string_view s) {
  out += '"';
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20) {
          static const char* hex = "0123456789abcdef";
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 0xF];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

std::string doubleText(double d) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
  return std::string(buffer, result.ptr);
}

void appendJson(std::string& out, const OrvValue& v) {
  switch (v.kind()) {
    case OrvValue::Kind::kAbsent:
    case OrvValue::Kind::kNull:
      out += "null";
      return;
    case OrvValue::Kind::kFloating:
      if (!std::isfinite(v.doubleValue())) {
        out += "null";
        return;
      }
      out += v.description();
      return;
    case OrvValue::Kind::kBoolean:
    case OrvValue::Kind::kInteger:
    case OrvValue::Kind::kUnsigned:
    case OrvValue::Kind::kDecimal:
      out += v.description();
      return;
    case OrvValue::Kind::kString:
      appendJsonString(out, v.stringValue());
      return;
    case OrvValue::Kind::kArray: {
      out += '[';
      bool first = true;
      for (const auto& element : v.elements()) {
        if (!first) out += ',';
        first = false;
        appendJson(out, element);
      }
      out += ']';
      return;
    }
    case OrvValue::Kind::kDictionary: {
      out += '{';
      bool first = true;
      for (const auto& [key, element] : v.entries()) {
        if (!first) out += ',';
        first = false;
        appendJsonString(out, key);
        out += ':';
        appendJson(out, element);
      }
      out += '}';
      return;
    }
  }
}

template <class Children, class Get>
std::uint32_t depthOf(const Children& children, Get get) {
  std::uint32_t deepest = 0;
  for (const auto& child : children) deepest = std::max(deepest, get(child).nestingDepth());
  return deepest == std::numeric_limits<std::uint32_t>::max() ? deepest : deepest + 1;
}

// Set while a destructor below walks a deep value: nested destructors hand their
// children to it instead of destroying them in their own frame.
thread_local std::vector<OrvValue>* tlDoomed = nullptr;

}  // namespace

OrvValue::Node::~Node() {
  // A value nested a hundred thousand levels would otherwise take one stack frame (or
  // several) per level. Shallow values are destroyed the ordinary way.
  constexpr std::uint32_t kRecursionIsFine = 64;
  if (depth == 0 || (!tlDoomed && depth < kRecursionIsFine)) return;
  std::vector<OrvValue> local;
  std::vector<OrvValue>* doomed = tlDoomed ? tlDoomed : &local;
  // Inside its destructor the node is no longer const: its children may be moved out.
  if (auto* elements = std::get_if<OrvValue::Array>(&data)) {
    for (auto& element : *elements) doomed->push_back(std::move(element));
  } else if (auto* entries = std::get_if<OrvValue::Dictionary>(&data)) {
    for (auto& entry : *entries) doomed->push_back(std::move(entry.second));
  }
  if (doomed != &local) return;
  tlDoomed = &local;
  while (!local.empty()) {
    // The last handle of a child goes here; its destructor appends its own children.
    OrvValue last = std::move(local.back());
    local.pop_back();
  }
  tlDoomed = nullptr;
}

OrvValue::OrvValue(bool b) : node_(std::make_shared<const Node>(Node{b})) {}
OrvValue::OrvValue(std::int64_t i) : node_(std::make_shared<const Node>(Node{i})) {}
OrvValue::OrvValue(std::uint64_t u)
    : node_(u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                ? std::make_shared<const Node>(Node{static_cast<std::int64_t>(u)})
                : std::make_shared<const Node>(Node{u})) {}
OrvValue::OrvValue(double d) : node_(std::make_shared<const Node>(Node{d})) {}
OrvValue::OrvValue(std::string s) : node_(std::make_shared<const Node>(Node{std::move(s)})) {}

OrvValue OrvValue::null() { return OrvValue(std::make_shared<const Node>(Node{OrvNullTag{}})); }

OrvValue OrvValue::array(Array elements) {
  const std::uint32_t depth =
      depthOf(elements, [](const OrvValue& v) -> const OrvValue& { return v; });
  return OrvValue(std::make_shared<const Node>(Node{std::move(elements), depth}));
}

OrvValue OrvValue::dictionary(Dictionary entries) {
  const auto less = [](const Entry& a, const Entry& b) { return a.first < b.first; };
  // Text we wrote ourselves (toJson, caches) arrives sorted and unique: check first.
  const bool sortedUnique =
      std::adjacent_find(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return !(a.first < b.first);
      }) == entries.end();
  if (!sortedUnique) {
    std::stable_sort(entries.begin(), entries.end(), less);
    // Within a run of equal keys the last one wins.
    auto out = entries.begin();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      if (std::next(it) != entries.end() && std::next(it)->first == it->first) continue;
      if (out != it) *out = std::move(*it);
      ++out;
    }
    entries.erase(out, entries.end());
  }
  const std::uint32_t depth =
      depthOf(entries, [](const Entry& e) -> const OrvValue& { return e.second; });
  return OrvValue(std::make_shared<const Node>(Node{std::move(entries), depth}));
}

OrvValue OrvValue::decimal(std::int64_t mantissa, std::int32_t exponent) {
  return OrvValue(std::make_shared<const Node>(Node{normalise(mantissa, exponent)}));
}

OrvValue OrvValue::parseDecimal(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && isBlank(text[i])) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::int64_t mantissa = 0;
  int significant = 0;
  std::int64_t exponent = 0;
  bool sawDigit = false;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
    sawDigit = true;
    if (significant < kDecimalMaxDigits) {
      if (mantissa != 0 || text[i] != '0') {
        mantissa = mantissa * 10 + (text[i] - '0');
        ++significant;
      }
    } else {
      ++exponent;  // integer digit beyond what we keep: truncated
    }
  }
  if (i < n && text[i] == '.') {
    ++i;
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
      sawDigit = true;
      if (significant < kDecimalMaxDigits) {
        if (mantissa != 0 || text[i] != '0') ++significant;
        mantissa = mantissa * 10 + (text[i] - '0');
        --exponent;
      }
    }
  }
  if (!sawDigit) return OrvValue();
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool expNegative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
      expNegative = text[i] == '-';
      ++i;
    }
    if (i >= n || text[i] < '0' || text[i] > '9') return OrvValue();
    std::int64_t written = 0;
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
      if (written < 1000000) written = written * 10 + (text[i] - '0');
    }
    exponent += expNegative ? -written : written;
  }
  while (i < n && isBlank(text[i])) ++i;
  if (i != n) return OrvValue();
  if (mantissa == 0) return decimal(0, 0);
  OrvDecimal d = normalise(negative ? -mantissa : mantissa, 0);
  exponent += d.exponent;
  if (exponent < kDecimalMinExponent || exponent > kDecimalMaxExponent) return OrvValue();
  return OrvValue(std::make_shared<const Node>(
      Node{OrvDecimal{d.mantissa, static_cast<std::int32_t>(exponent)}}));
}

OrvValue::Kind OrvValue::kind() const noexcept {
  if (!node_) return Kind::kAbsent;
  return static_cast<Kind>(node_->data.index() + 1);
}

bool OrvValue::isNumber() const noexcept {
  switch (kind()) {
    case Kind::kBoolean:
    case Kind::kInteger:
    case Kind::kUnsigned:
    case Kind::kFloating:
    case Kind::kDecimal:
      return true;
    default:
      return false;
  }
}

const std::string& OrvValue::stringValue() const noexcept {
  if (const auto* s = node_ ? std::get_if<std::string>(&node_->data) : nullptr) return *s;
  return emptyString();
}

bool OrvValue::boolValue() const noexcept {
  switch (kind()) {
    case Kind::kBoolean:
      return std::get<bool>(node_->data);
    case Kind::kInteger:
      return std::get<std::int64_t>(node_->data) != 0;
    case Kind::kUnsigned:
      return true;  // only values above INT64_MAX are kUnsigned
    case Kind::kFloating:
      return std::get<double>(node_->data) != 0.0;
    case Kind::kDecimal:
      return std::get<OrvDecimal>(node_->data).mantissa != 0;
    case Kind::kString: {
      const std::string& s = std::get<std::string>(node_->data);
      std::size_t i = 0;
      while (i < s.size() && isBlank(s[i])) ++i;
      if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
      while (i < s.size() && s[i] == '0') ++i;
      if (i >= s.size()) return false;
      const char c = s[i];
      return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    default:
      return false;
  }
}

std::int64_t OrvValue::int64Value() const noexcept {
  switch (kind()) {
    case Kind::kBoolean:
      return std::get<bool>(node_->data) ? 1 : 0;
    case Kind::kInteger:
      return std::get<std::int64_t>(node_->data);
    case Kind::kUnsigned:
      return std::numeric_limits<std::int64_t>::max();
    case Kind::kFloating:
      return saturatingFromDouble(std::get<double>(node_->data));
    case Kind::kDecimal:
      return decimalToInt64(std::get<OrvDecimal>(node_->data));
    case Kind::kString:
      return parseDecimal(std::get<std::string>(node_->data)).int64Value();
    default:
      return 0;
  }
}

double OrvValue::doubleValue() const noexcept {
  switch (kind()) {
    case Kind::kBoolean:
      return std::get<bool>(node_->data) ? 1.0 : 0.0;
    case Kind::kInteger:
      return static_cast<double>(std::get<std::int64_t>(node_->data));
    case Kind::kUnsigned:
      return static_cast<double>(std::get<std::uint64_t>(node_->data));
    case Kind::kFloating:
      return std::get<double>(node_->data);
    case Kind::kDecimal:
      return decimalToDouble(std::get<OrvDecimal>(node_->data));
    case Kind::kString:
      return parseDecimal(std::get<std::string>(node_->data)).doubleValue();
    default:
      return 0.0;
  }
}

const OrvValue& OrvValue::operator[](std::string_view key) const noexcept {
  const Dictionary& d = entries();
  auto it = std::lower_bound(d.begin(), d.end(), key,
                             [](const Entry& e, std::string_view k) { return e.first < k; });
  if (it != d.end() && it->first == key) return it->second;
  return absentValue();
}

const OrvValue& OrvValue::at(std::size_t index) const noexcept {
  const Array& a = elements();
  return index < a.size() ? a[index] : absentValue();
}

std::size_t OrvValue::size() const noexcept {
  switch (kind()) {
    case Kind::kArray:
      return elements().size();
    case Kind::kDictionary:
      return entries().size();
    default:
      return 0;
  }
}

const OrvValue::Array& OrvValue::elements() const noexcept {
  if (const auto* a = node_ ? std::get_if<Array>(&node_->data) : nullptr) return *a;
  return emptyArray();
}

const OrvValue::Dictionary& OrvValue::entries() const noexcept {
  if (const auto* d = node_ ? std::get_if<Dictionary>(&node_->data) : nullptr) return *d;
  return emptyDictionary();
}

std::int64_t OrvValue::decimalMantissa() const noexcept {
  const auto* d = node_ ? std::get_if<OrvDecimal>(&node_->data) : nullptr;
  return d ? d->mantissa : 0;
}

std::int32_t OrvValue::decimalExponent() const noexcept {
  const auto* d = node_ ? std::get_if<OrvDecimal>(&node_->data) : nullptr;
  return d ? d->exponent : 0;
}

std::uint32_t OrvValue::nestingDepth() const noexcept { return node_ ? node_->depth : 0; }

bool OrvValue::operator==(const OrvValue& other) const noexcept {
  if (node_ == other.node_) return true;
  if (nestingDepth() != other.nestingDepth() || nestingDepth() > kMaxNestingDepth) return false;
  const Kind a = kind();
  const Kind b = other.kind();
  if (isNumber() && other.isNumber()) {
    const bool aExact = a == Kind::kBoolean || a == Kind::kInteger || a == Kind::kUnsigned;
    const bool bExact = b == Kind::kBoolean || b == Kind::kInteger || b == Kind::kUnsigned;
    if (aExact && bExact) {
      // kUnsigned lies above every int64, so it only ever equals another kUnsigned.
      if (a == Kind::kUnsigned || b == Kind::kUnsigned)
        return a == b &&
               std::get<std::uint64_t>(node_->data) == std::get<std::uint64_t>(other.node_->data);
      return int64Value() == other.int64Value();
    }
    if (a == Kind::kDecimal && b == Kind::kDecimal) {
      return decimalMantissa() == other.decimalMantissa() &&
             decimalExponent() == other.decimalExponent();
    }
    return doubleValue() == other.doubleValue();
  }
  if (a != b) return false;
  switch (a) {
    case Kind::kAbsent:
    case Kind::kNull:
      return true;
    case Kind::kString:
      return stringValue() == other.stringValue();
    case Kind::kArray:
      return elements() == other.elements();
    case Kind::kDictionary:
      return entries() == other.entries();
    default:
      return false;
  }
}

std::string OrvValue::description() const {
  switch (kind()) {
    case Kind::kAbsent:
      return "(null)";
    case Kind::kNull:
      return "null";
    case Kind::kBoolean:
      return std::get<bool>(node_->data) ? "true" : "false";
    case Kind::kInteger:
      return std::to_string(std::get<std::int64_t>(node_->data));
    case Kind::kUnsigned:
      return std::to_string(std::get<std::uint64_t>(node_->data));
    case Kind::kFloating:
      return doubleText(std::get<double>(node_->data));
    case Kind::kDecimal:
      return decimalText(std::get<OrvDecimal>(node_->data));
    case Kind::kString:
      return std::get<std::string>(node_->data);
    case Kind::kArray:
    case Kind::kDictionary:
      return toJson();
  }
  return std::string();
}

std::string OrvValue::toJson() const {
  // Below the limit every level is shallower than the one above: the writer's
  // recursion is bounded by kMaxNestingDepth.
  if (nestingDepth() > kMaxNestingDepth) return "null";
  std::string out;
  appendJson(out, *this);
  return out;
}
