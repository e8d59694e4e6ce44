#include "OrvExperiment/OrvValue.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "platform/values/OrvValueNode.h"

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

struct OrvDecimal {
  std::int64_t mantissa = 0;
  std::int32_t exponent = 0;
};

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

// Moves a deep standalone container's children out to be destroyed iteratively. A
// document's nodes hold borrowed handles and are swept linearly, so they never recurse.
template <class Children, class Take>
void destroyDeep(const OrvContainerNode& node, Children& children, Take take) {
  constexpr std::uint32_t kRecursionIsFine = 64;
  if (node.inDocument || node.depth == 0 || (!tlDoomed && node.depth < kRecursionIsFine)) return;
  std::vector<OrvValue> local;
  std::vector<OrvValue>* doomed = tlDoomed ? tlDoomed : &local;
  for (auto& child : children) doomed->push_back(std::move(take(child)));
  if (doomed != &local) return;
  tlDoomed = &local;
  while (!local.empty()) {
    // The last handle of a child goes here; its destructor appends its own children.
    OrvValue last = std::move(local.back());
    local.pop_back();
  }
  tlDoomed = nullptr;
}

// A node with a block of its own.
template <class T>
struct Single final : OrvValue::Block {
  T node;
};

// A new node of type T with a block of its own, and the handle that holds its one
// reference; the caller fills the node before the handle is shared.
template <class T>
std::pair<OrvValue, T*> makeSingle(OrvValue::Kind kind) {
  auto* single = new Single<T>();
  single->node.block = single;
  return {OrvValue::Builder::owning(kind, &single->node), &single->node};
}

}  // namespace

OrvArrayNode::~OrvArrayNode() {
  destroyDeep(*this, elements, [](OrvValue& v) -> OrvValue& { return v; });
}

OrvDictionaryNode::~OrvDictionaryNode() {
  destroyDeep(*this, entries, [](OrvValue::Entry& e) -> OrvValue& { return e.second; });
}

void OrvValue::retain() const noexcept {
  const Block* block = node()->block;
  if (!block->immortal) block->refs.fetch_add(1, std::memory_order_relaxed);
}

void OrvValue::release() noexcept {
  const Block* block = node()->block;
  if (!block->immortal && block->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete block;
}

OrvValue::OrvValue(bool b) : kind_(Kind::kBoolean), bits_(b ? 1 : 0) {}
OrvValue::OrvValue(std::int64_t i) : kind_(Kind::kInteger), bits_(static_cast<std::uint64_t>(i)) {}
OrvValue::OrvValue(std::uint64_t u)
    : kind_(u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                ? Kind::kInteger
                : Kind::kUnsigned),
      bits_(u) {}
OrvValue::OrvValue(double d) : kind_(Kind::kFloating), bits_(std::bit_cast<std::uint64_t>(d)) {}
OrvValue::OrvValue(std::string s) {
  auto [value, node] = makeSingle<OrvStringNode>(Kind::kString);
  node->text = std::move(s);
  *this = std::move(value);
}

OrvValue OrvValue::null() {
  OrvValue v;
  v.kind_ = Kind::kNull;
  return v;
}

OrvValue OrvValue::array(Array elements) {
  const std::uint32_t depth =
      depthOf(elements, [](const OrvValue& v) -> const OrvValue& { return v; });
  auto [value, node] = makeSingle<OrvArrayNode>(Kind::kArray);
  node->depth = depth;
  node->elements = std::move(elements);
  return std::move(value);
}

void OrvValue::Builder::normaliseEntries(Dictionary& entries) {
  const auto less = [](const Entry& a, const Entry& b) { return a.first < b.first; };
  // Text we wrote ourselves (toJson, caches) arrives sorted and unique: check first.
  if (std::adjacent_find(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return !(a.first < b.first);
      }) == entries.end())
    return;
  std::stable_sort(entries.begin(), entries.end(), less);
  dropRepeatedKeys(entries);
}

void OrvValue::Builder::dropRepeatedKeys(Dictionary& entries) {
  auto out = entries.begin();
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (std::next(it) != entries.end() && std::next(it)->first == it->first) continue;
    if (out != it) *out = std::move(*it);
    ++out;
  }
  entries.erase(out, entries.end());
}

OrvValue OrvValue::dictionary(Dictionary entries) {
  Builder::normaliseEntries(entries);
  const std::uint32_t depth =
      depthOf(entries, [](const Entry& e) -> const OrvValue& { return e.second; });
  auto [value, node] = makeSingle<OrvDictionaryNode>(Kind::kDictionary);
  node->depth = depth;
  node->entries = std::move(entries);
  return std::move(value);
}

OrvValue OrvValue::decimal(std::int64_t mantissa, std::int32_t exponent) {
  const OrvDecimal d = normalise(mantissa, exponent);
  OrvValue v;
  v.kind_ = Kind::kDecimal;
  v.bits_ = static_cast<std::uint64_t>(d.mantissa);
  v.exponent_ = d.exponent;
  return v;
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
  return decimal(d.mantissa, static_cast<std::int32_t>(exponent));
}

OrvValue::Kind OrvValue::kind() const noexcept { return kind_; }

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
  if (kind_ == Kind::kString) return static_cast<const OrvStringNode*>(node())->text;
  return emptyString();
}

bool OrvValue::boolValue() const noexcept {
  switch (kind()) {
    case Kind::kBoolean:
      return (bits_ != 0);
    case Kind::kInteger:
      return static_cast<std::int64_t>(bits_) != 0;
    case Kind::kUnsigned:
      return true;  // only values above INT64_MAX are kUnsigned
    case Kind::kFloating:
      return std::bit_cast<double>(bits_) != 0.0;
    case Kind::kDecimal:
      return bits_ != 0;
    case Kind::kString: {
      const std::string& s = stringValue();
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
      return (bits_ != 0) ? 1 : 0;
    case Kind::kInteger:
      return static_cast<std::int64_t>(bits_);
    case Kind::kUnsigned:
      return std::numeric_limits<std::int64_t>::max();
    case Kind::kFloating:
      return saturatingFromDouble(std::bit_cast<double>(bits_));
    case Kind::kDecimal:
      return decimalToInt64(OrvDecimal{static_cast<std::int64_t>(bits_), exponent_});
    case Kind::kString:
      return parseDecimal(stringValue()).int64Value();
    default:
      return 0;
  }
}

double OrvValue::doubleValue() const noexcept {
  switch (kind()) {
    case Kind::kBoolean:
      return (bits_ != 0) ? 1.0 : 0.0;
    case Kind::kInteger:
      return static_cast<double>(static_cast<std::int64_t>(bits_));
    case Kind::kUnsigned:
      return static_cast<double>(bits_);
    case Kind::kFloating:
      return std::bit_cast<double>(bits_);
    case Kind::kDecimal:
      return decimalToDouble(OrvDecimal{static_cast<std::int64_t>(bits_), exponent_});
    case Kind::kString:
      return parseDecimal(stringValue()).doubleValue();
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
  if (kind_ == Kind::kArray) return static_cast<const OrvArrayNode*>(node())->elements;
  return emptyArray();
}

const OrvValue::Dictionary& OrvValue::entries() const noexcept {
  if (kind_ == Kind::kDictionary) return static_cast<const OrvDictionaryNode*>(node())->entries;
  return emptyDictionary();
}

std::int64_t OrvValue::decimalMantissa() const noexcept {
  return kind_ == Kind::kDecimal ? static_cast<std::int64_t>(bits_) : 0;
}

std::int32_t OrvValue::decimalExponent() const noexcept {
  return kind_ == Kind::kDecimal ? exponent_ : 0;
}

std::uint32_t OrvValue::nestingDepth() const noexcept {
  return kind_ == Kind::kArray || kind_ == Kind::kDictionary
             ? static_cast<const OrvContainerNode*>(node())->depth
             : 0;
}

bool OrvValue::operator==(const OrvValue& other) const noexcept {
  if (isSameObject(other)) return true;
  if (nestingDepth() != other.nestingDepth() || nestingDepth() > kMaxNestingDepth) return false;
  const Kind a = kind();
  const Kind b = other.kind();
  if (isNumber() && other.isNumber()) {
    const bool aExact = a == Kind::kBoolean || a == Kind::kInteger || a == Kind::kUnsigned;
    const bool bExact = b == Kind::kBoolean || b == Kind::kInteger || b == Kind::kUnsigned;
    if (aExact && bExact) {
      // kUnsigned lies above every int64, so it only ever equals another kUnsigned.
      if (a == Kind::kUnsigned || b == Kind::kUnsigned) return a == b && bits_ == other.bits_;
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
      return (bits_ != 0) ? "true" : "false";
    case Kind::kInteger:
      return std::to_string(static_cast<std::int64_t>(bits_));
    case Kind::kUnsigned:
      return std::to_string(bits_);
    case Kind::kFloating:
      return doubleText(std::bit_cast<double>(bits_));
    case Kind::kDecimal:
      return decimalText(OrvDecimal{static_cast<std::int64_t>(bits_), exponent_});
    case Kind::kString:
      return stringValue();
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
