// OrvValue: the one dynamic value type of the library. Every feature value, payload,
// fetch parameter, bucket identifier and event property is an OrvValue.
//
// An OrvValue is an immutable, cheaply copied handle to a shared node. Copies share the
// node (isSameObject() is true between them), so "copying" and "sharing" a value are
// the same thing. Handles may be copied and read from any number of threads at once.
// All readers are noexcept: a reader asked for the wrong kind answers empty, zero or
// false, never throws.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "OrvExperiment/OrvExport.h"

class ORV_EXPORT OrvValue {
 public:
  enum class Kind : std::uint8_t {
    kAbsent,  // no value at all (a default-constructed handle)
    kNull,    // JSON null
    kBoolean,
    kInteger,   // int64
    kUnsigned,  // above INT64_MAX up to 2^64-1; every smaller integer is kInteger
    kFloating,  // double
    kDecimal,   // base-10 mantissa and exponent, made by parseDecimal()
    kString,    // UTF-8 text
    kArray,
    kDictionary,  // string keys, unique, kept sorted by key
  };

  using Array = std::vector<OrvValue>;
  using Entry = std::pair<std::string, OrvValue>;
  using Dictionary = std::vector<Entry>;

  // The result of parseJson(), defined below the class.
  struct ParseResult;

  // Deepest array/dictionary nesting parseJson() accepts. Deeper input is rejected
  // with an error instead of exhausting the stack.
  static constexpr int kMaxNestingDepth = 256;

  OrvValue() noexcept = default;  // absent
  OrvValue(bool b);
  OrvValue(int i) : OrvValue(static_cast<std::int64_t>(i)) {}
  OrvValue(std::int64_t i);
  // kInteger when it fits an int64, kUnsigned above: the value is kept exact either way.
  OrvValue(std::uint64_t u);
  OrvValue(double d);
  OrvValue(std::string s);
  OrvValue(std::string_view s) : OrvValue(std::string(s)) {}
  OrvValue(const char* s) : OrvValue(std::string(s ? s : "")) {}

  static OrvValue null();
  static OrvValue array(Array elements);
  // Duplicate keys keep the last occurrence, as JSON objects do.
  static OrvValue dictionary(Dictionary entries);
  // mantissa * 10^exponent, normalised (no trailing zeros in the mantissa).
  static OrvValue decimal(std::int64_t mantissa, std::int32_t exponent);

  // Base-10 number text: optional blanks, optional sign, digits with an optional "."
  // and optional fraction, optional exponent ("e"/"E", optional sign, digits), optional
  // blanks. At least one digit. Anything else, including "nan", "inf", hexadecimal,
  // thousands separators or trailing garbage, yields absent. Up to 18 significant
  // digits are kept (more are truncated); an exponent that puts the value outside
  // 10^-128 .. 10^127 yields absent.
  static OrvValue parseDecimal(std::string_view text);

  // Parses JSON text (RFC 8259, UTF-8). Never throws; malformed or invalid UTF-8 input
  // and nesting deeper than kMaxNestingDepth give an error with the byte offset.
  static ParseResult parseJson(std::string_view text);

  Kind kind() const noexcept;
  bool isAbsent() const noexcept { return !node_; }
  bool isNull() const noexcept { return kind() == Kind::kNull; }
  bool isBoolean() const noexcept { return kind() == Kind::kBoolean; }
  // Booleans and decimals are numbers too.
  bool isNumber() const noexcept;
  bool isString() const noexcept { return kind() == Kind::kString; }
  bool isArray() const noexcept { return kind() == Kind::kArray; }
  bool isDictionary() const noexcept { return kind() == Kind::kDictionary; }

  // The text of a string; the empty string for every other kind.
  const std::string& stringValue() const noexcept;
  // A number is true when non-zero. A string follows the truth rule: skip leading
  // white space, an optional sign and leading zeros; true when the next character is
  // Y, y, T, t or 1-9. Every other kind is false.
  bool boolValue() const noexcept;
  // Numbers convert (floating, decimal and unsigned truncate toward zero, saturating);
  // strings are read with parseDecimal(); everything else is 0.
  std::int64_t int64Value() const noexcept;
  double doubleValue() const noexcept;

  // Dictionary member, or absent when this is not a dictionary or has no such key.
  const OrvValue& operator[](std::string_view key) const noexcept;
  // Array element, or absent when out of range or not an array.
  const OrvValue& at(std::size_t index) const noexcept;
  // Element count of an array or dictionary; 0 for every other kind.
  std::size_t size() const noexcept;
  // Array and dictionary levels: 0 for any other kind, 1 for a container of scalars,
  // one more per level below. Known at construction, so asking costs nothing. Values
  // deeper than kMaxNestingDepth (an application can build them) are never walked:
  // toJson() writes them as null, == compares them by identity, and the library
  // refuses them where it would have to send or store them.
  std::uint32_t nestingDepth() const noexcept;
  // The elements / entries; empty for other kinds. Entries are sorted by key.
  const Array& elements() const noexcept;
  const Dictionary& entries() const noexcept;

  // The decimal's parts (0 and 0 for other kinds).
  std::int64_t decimalMantissa() const noexcept;
  std::int32_t decimalExponent() const noexcept;

  // Identity: both handles refer to the same node (two absents are the same).
  bool isSameObject(const OrvValue& other) const noexcept { return node_ == other.node_; }
  // Content equality. Numbers (booleans, integers, floating, decimals) compare by
  // numeric value; strings, arrays and dictionaries by content (by identity when
  // deeper than kMaxNestingDepth).
  bool operator==(const OrvValue& other) const noexcept;

  // The stable text form: a string is itself; an integer plain decimal digits; a
  // floating number the shortest text that reads back to the same double; a boolean
  // "true"/"false"; a decimal its canonical text ("3.50" gives "3.5"); null "null";
  // absent "(null)"; arrays and dictionaries compact JSON.
  std::string description() const;
  // Compact JSON. Absent, NaN and infinities are written as null, and so is a value
  // nested deeper than kMaxNestingDepth.
  std::string toJson() const;

  struct Node;

 private:
  explicit OrvValue(std::shared_ptr<const Node> node) noexcept : node_(std::move(node)) {}
  std::shared_ptr<const Node> node_;
};

// The result of OrvValue::parseJson(): a value, or a readable error naming the byte
// offset where the input went wrong.
struct ORV_EXPORT OrvValue::ParseResult {
  OrvValue value;     // absent on failure
  std::string error;  // empty on success
  bool ok() const noexcept { return error.empty(); }
};
