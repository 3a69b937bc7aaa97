// One result column of an open query: its name, its kind (chosen from the column's MySQL type)
// and the value of the current row, read as text or as a 32-bit integer.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/regional.h"

namespace larvek {

enum class FieldKind {
  kText,      // VARCHAR, CHAR, ENUM, SET, NULL: all bytes, zero bytes included
  kLongText,  // TEXT and long character columns: all bytes
  kBytes,     // BLOB, BIT, GEOMETRY: all bytes
  kInt16,
  kInt32,
  kInt64,
  kFloat,
  kDate,
  kTime,
  kDateTime,
};

// The kind of a column as the client library describes it (type code, flag bits, length in
// bytes, decimals). Throws the database error "Unknown MySQL data type!" for a type code that
// the layer does not know.
FieldKind FieldKindFor(int type, unsigned flags, unsigned long length, unsigned decimals);

class DbField {
 public:
  DbField(std::string name, FieldKind kind) : name_(std::move(name)), kind_(kind) {}

  const std::string& Name() const { return name_; }
  FieldKind Kind() const { return kind_; }
  bool IsNull() const { return null_; }

  // The value as text: digits for integers, the general number format with the decimal
  // separator of `formats`, the date and time formats of `formats`; "" for NULL.
  std::string AsString(const RegionalSettings& formats) const;
  // True for the kinds whose value is its bytes (text, long text, bytes): AsString gives Bytes.
  bool HoldsBytes() const {
    return kind_ == FieldKind::kText || kind_ == FieldKind::kLongText || kind_ == FieldKind::kBytes;
  }
  // The bytes of a value of such a kind without copying them ("" for NULL); valid until the next
  // Load.
  std::string_view Bytes() const { return bytes_; }
  // The value as a 32-bit integer (NULL gives 0 for numeric kinds). Text must be an integer
  // ("'%s' is not a valid integer value" otherwise); other kinds fail with
  // "Cannot access field '%s' as type Integer".
  int32_t AsInteger() const;

  // Loads the value from the server's text for it; `data` nullptr is SQL NULL.
  void Load(const char* data, size_t length);

 private:
  std::string name_;
  FieldKind kind_;
  bool null_ = true;
  std::string bytes_;    // text kinds
  int64_t integer_ = 0;  // integer kinds
  double number_ = 0;    // floating point
  std::chrono::local_seconds moment_{};  // date and time kinds; a time of day is on kDayZero
};

}  // namespace larvek
