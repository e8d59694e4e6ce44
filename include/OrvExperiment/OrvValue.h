/// @file
/// OrvValue: the one dynamic value type of the library. Every feature value, payload,
/// fetch parameter, bucket identifier and event property is an OrvValue.
///
/// An OrvValue is an immutable, cheaply copied handle. Numbers, booleans and null are
/// held inside the handle itself; strings, arrays and dictionaries live in a shared node
/// that copies share (isSameObject() is true between them), so "copying" and "sharing" a
/// value are the same thing. The values of one parsed JSON document live together in
/// one block: a handle to any part of it keeps the whole document alive. Handles may be
/// copied and read from any number of threads at once. All readers are noexcept: a
/// reader asked for the wrong kind answers empty, zero or false, never throws.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "OrvExperiment/OrvExport.h"

/// An immutable, cheaply copied handle on a JSON value (see OrvValue.h): absent, null,
/// a boolean, a number, a string, an array or a dictionary.
class ORV_EXPORT OrvValue {
 public:
  /// What a value holds.
  enum class Kind : std::uint8_t {
    kAbsent,      ///< no value at all (a default-constructed handle)
    kNull,        ///< JSON null
    kBoolean,     ///< true or false
    kInteger,     ///< int64
    kUnsigned,    ///< above INT64_MAX up to 2^64-1; every smaller integer is kInteger
    kFloating,    ///< double
    kDecimal,     ///< base-10 mantissa and exponent, made by parseDecimal()
    kString,      ///< UTF-8 text
    kArray,       ///< a sequence of values
    kDictionary,  ///< string keys, unique, kept sorted by key
  };

  /// The elements of an array.
  using Array = std::vector<OrvValue>;
  /// One entry of a dictionary: key and value.
  using Entry = std::pair<std::string, OrvValue>;
  /// The entries of a dictionary.
  using Dictionary = std::vector<Entry>;

  // The result of parseJson(), defined below the class.
  struct ParseResult;

  /// parseJson() refuses a text whose load would take more than this many bytes of
  /// memory per byte of text at its peak (with kMinParseBudget as the least it allows
  /// any text), so one hostile document cannot exhaust the process. A load counts the
  /// parser's buffers (the padded copy, the structural indexes, the tape and the string
  /// buffer, as far as the text fills them), the value, and a margin for the feature
  /// table a payload becomes and for its copy written to the cache; the text the caller
  /// holds is not counted. A text that is certainly over is refused after one counting
  /// pass, before the parser allocates; otherwise building stops at the budget.
  /// @{
  static constexpr std::size_t kMaxParseCostPerByte = 8;
  static constexpr std::size_t kMinParseBudget = std::size_t{64} << 20;
  /// @}

  /// Deepest array/dictionary nesting parseJson() accepts. Deeper input is rejected
  /// with an error instead of exhausting the stack.
  static constexpr int kMaxNestingDepth = 256;

  OrvValue() noexcept = default;  ///< absent
  /// Another handle on the same value (isSameObject() is true between the two).
  OrvValue(const OrvValue& other) noexcept
      : kind_(other.kind_), exponent_(other.exponent_), bits_(other.bits_) {
    if (hasNode()) retain();
  }
  /// Takes the handle as it is. Only the library moves handles that are borrowed (see
  /// below): the interface hands those out by const reference, which copies.
  OrvValue(OrvValue&& other) noexcept
      : kind_(other.kind_),
        borrowed_(other.borrowed_),
        exponent_(other.exponent_),
        bits_(other.bits_) {
    other.kind_ = Kind::kAbsent;
    other.borrowed_ = false;
    other.exponent_ = 0;
    other.bits_ = 0;
  }
  /// Makes this a handle on `other`'s value, as the copy constructor does.
  OrvValue& operator=(const OrvValue& other) noexcept {
    if (this != &other) *this = OrvValue(other);
    return *this;
  }
  /// Takes the handle as it is, as the move constructor does.
  OrvValue& operator=(OrvValue&& other) noexcept {
    if (this != &other) {
      if (hasNode() && !borrowed_) release();
      kind_ = other.kind_;
      borrowed_ = other.borrowed_;
      exponent_ = other.exponent_;
      bits_ = other.bits_;
      other.kind_ = Kind::kAbsent;
      other.borrowed_ = false;
      other.exponent_ = 0;
      other.bits_ = 0;
    }
    return *this;
  }
  ~OrvValue() {
    if (hasNode() && !borrowed_) release();
  }
  /// A boolean.
  OrvValue(bool b);
  /// An integer (kInteger).
  /// @{
  OrvValue(int i) : OrvValue(static_cast<std::int64_t>(i)) {}
  OrvValue(std::int64_t i);
  /// @}
  /// kInteger when it fits an int64, kUnsigned above: the value is kept exact either way.
  OrvValue(std::uint64_t u);
  /// A floating number.
  OrvValue(double d);
  /// A string (UTF-8 text); a null `const char*` gives the empty string.
  /// @{
  OrvValue(std::string s);
  OrvValue(std::string_view s) : OrvValue(std::string(s)) {}
  OrvValue(const char* s) : OrvValue(std::string(s ? s : "")) {}
  /// @}

  /// JSON null.
  static OrvValue null();
  /// An array of `elements`.
  static OrvValue array(Array elements);
  /// Duplicate keys keep the last occurrence, as JSON objects do.
  static OrvValue dictionary(Dictionary entries);
  /// mantissa * 10^exponent, normalised (no trailing zeros in the mantissa).
  static OrvValue decimal(std::int64_t mantissa, std::int32_t exponent);

  /// Base-10 number text: optional blanks, optional sign, digits with an optional "."
  /// and optional fraction, optional exponent ("e"/"E", optional sign, digits), optional
  /// blanks. At least one digit. Anything else, including "nan", "inf", hexadecimal,
  /// thousands separators or trailing garbage, yields absent. Up to 18 significant
  /// digits are kept (more are truncated); an exponent that puts the value outside
  /// 10^-128 .. 10^127 yields absent.
  static OrvValue parseDecimal(std::string_view text);

  /// Parses JSON text (RFC 8259, UTF-8). Throws only std::bad_alloc, when memory runs
  /// out (the library turns that into failure -9); malformed or invalid UTF-8 input
  /// and nesting deeper than kMaxNestingDepth give an error with the byte offset; a text
  /// over its memory budget (see kMaxParseCostPerByte) gives an error with tooCostly set.
  static ParseResult parseJson(std::string_view text);

  /// What the value holds.
  Kind kind() const noexcept;
  /// Whether kind() is Kind::kAbsent.
  bool isAbsent() const noexcept { return kind_ == Kind::kAbsent; }
  /// Whether kind() is Kind::kNull.
  bool isNull() const noexcept { return kind() == Kind::kNull; }
  /// Whether kind() is Kind::kBoolean.
  bool isBoolean() const noexcept { return kind() == Kind::kBoolean; }
  /// Booleans and decimals are numbers too.
  bool isNumber() const noexcept;
  /// Whether kind() is Kind::kString.
  bool isString() const noexcept { return kind() == Kind::kString; }
  /// Whether kind() is Kind::kArray.
  bool isArray() const noexcept { return kind() == Kind::kArray; }
  /// Whether kind() is Kind::kDictionary.
  bool isDictionary() const noexcept { return kind() == Kind::kDictionary; }

  /// The text of a string; the empty string for every other kind.
  const std::string& stringValue() const noexcept;
  /// A number is true when non-zero. A string follows the truth rule: skip leading
  /// white space, an optional sign and leading zeros; true when the next character is
  /// Y, y, T, t or 1-9. Every other kind is false.
  bool boolValue() const noexcept;
  /// Numbers convert (floating, decimal and unsigned truncate toward zero, saturating);
  /// strings are read with parseDecimal(); everything else is 0.
  /// @{
  std::int64_t int64Value() const noexcept;
  double doubleValue() const noexcept;
  /// @}

  /// Dictionary member, or absent when this is not a dictionary or has no such key.
  const OrvValue& operator[](std::string_view key) const noexcept;
  /// Array element, or absent when out of range or not an array.
  const OrvValue& at(std::size_t index) const noexcept;
  /// Element count of an array or dictionary; 0 for every other kind.
  std::size_t size() const noexcept;
  /// Array and dictionary levels: 0 for any other kind, 1 for a container of scalars,
  /// one more per level below. Known at construction, so asking costs nothing. Values
  /// deeper than kMaxNestingDepth (an application can build them) are never walked:
  /// toJson() writes them as null, == compares them by identity, and the library
  /// refuses them where it would have to send or store them.
  std::uint32_t nestingDepth() const noexcept;
  /// The elements / entries; empty for other kinds. Entries are sorted by key.
  /// @{
  const Array& elements() const noexcept;
  const Dictionary& entries() const noexcept;
  /// @}

  /// The decimal's parts (0 and 0 for other kinds).
  /// @{
  std::int64_t decimalMantissa() const noexcept;
  std::int32_t decimalExponent() const noexcept;
  /// @}

  /// Identity: both handles refer to the same node. Values held inside the handle (see
  /// above) are the same object when they have the same kind and the same bits; two
  /// absents are the same.
  bool isSameObject(const OrvValue& other) const noexcept {
    return kind_ == other.kind_ && exponent_ == other.exponent_ && bits_ == other.bits_;
  }
  /// Content equality. Numbers (booleans, integers, floating, decimals) compare by
  /// numeric value; strings, arrays and dictionaries by content (by identity when
  /// deeper than kMaxNestingDepth).
  bool operator==(const OrvValue& other) const noexcept;

  /// The stable text form: a string is itself; an integer plain decimal digits; a
  /// floating number the shortest text that reads back to the same double; a boolean
  /// "true"/"false"; a decimal its canonical text ("3.50" gives "3.5"); null "null";
  /// absent "(null)"; arrays and dictionaries compact JSON.
  std::string description() const;
  /// Compact JSON. Absent, NaN and infinities are written as null, and so is a value
  /// nested deeper than kMaxNestingDepth.
  std::string toJson() const;

  struct Node;
  struct Block;
  struct Builder;

 private:
  friend struct Builder;
  bool hasNode() const noexcept { return kind_ >= Kind::kString; }
  const Node* node() const noexcept { return reinterpret_cast<const Node*>(bits_); }
  // Count one more / one less reference on the node's block (release frees it).
  void retain() const noexcept;
  void release() noexcept;

  Kind kind_ = Kind::kAbsent;
  // Set on a handle stored inside its own document: it holds no reference, since the
  // document owns it (a reference would keep the document alive forever). Copies of
  // it are ordinary owning handles.
  bool borrowed_ = false;
  std::int32_t exponent_ = 0;  // of a decimal
  // The scalar's bits (bool, int64, uint64, double, decimal mantissa), or the node's
  // address for strings, arrays and dictionaries.
  std::uint64_t bits_ = 0;
};

/// The result of OrvValue::parseJson(): a value, or a readable error naming the byte
/// offset where the input went wrong.
struct ORV_EXPORT OrvValue::ParseResult {
  OrvValue value;          ///< absent on failure
  std::string error;       ///< empty on success
  bool tooCostly = false;  ///< failed because the value would exceed the memory budget
  /// True on success (no error).
  bool ok() const noexcept { return error.empty(); }
};
