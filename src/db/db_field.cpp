#include "db/db_field.h"

#include <cmath>
#include <cstring>
#include <optional>

#include "base/regional.h"
#include "db/db_error.h"
#include "db/value_text.h"

namespace larvek {
namespace {

constexpr unsigned kUnsignedFlag = 32;
constexpr unsigned kBinaryFlag = 128;
constexpr unsigned long kMaxShortText = 8192;

bool IsMidnight(std::chrono::local_seconds t) {
  return t == std::chrono::floor<std::chrono::days>(t);
}

}  // namespace

FieldKind FieldKindFor(int type, unsigned flags, unsigned long length, unsigned decimals) {
  const bool is_unsigned = flags & kUnsignedFlag;
  switch (type) {
    case 1:  // TINYINT
      return FieldKind::kInt16;
    case 2:   // SMALLINT
    case 13:  // YEAR
      return is_unsigned ? FieldKind::kInt32 : FieldKind::kInt16;
    case 3:  // INT
    case 9:  // MEDIUMINT
      return is_unsigned ? FieldKind::kInt64 : FieldKind::kInt32;
    case 8:  // BIGINT
      return is_unsigned ? FieldKind::kFloat : FieldKind::kInt64;
    case 0:    // DECIMAL
    case 246:  // NEWDECIMAL
      if (decimals > 0) return FieldKind::kFloat;
      return length <= 10 ? FieldKind::kInt32 : FieldKind::kInt64;
    case 4:  // FLOAT
    case 5:  // DOUBLE
      return FieldKind::kFloat;
    case 10:  // DATE
    case 14:  // NEWDATE
      return FieldKind::kDate;
    case 11:  // TIME
      return FieldKind::kTime;
    case 7:   // TIMESTAMP
    case 12:  // DATETIME
      return FieldKind::kDateTime;
    case 249:  // TINYBLOB
    case 250:  // MEDIUMBLOB
    case 251:  // LONGBLOB
    case 252:  // BLOB
      return flags & kBinaryFlag ? FieldKind::kBytes : FieldKind::kLongText;
    case 16:   // BIT
    case 255:  // GEOMETRY
      return FieldKind::kBytes;
    case 6:    // NULL
    case 15:   // VARCHAR
    case 247:  // ENUM
    case 248:  // SET
    case 253:  // VAR_STRING
    case 254:  // STRING
      return length <= kMaxShortText ? FieldKind::kText : FieldKind::kLongText;
    default:
      ThrowDatabaseError(kUnknownDataType);
  }
}

void DbField::Load(const char* data, size_t length) {
  null_ = data == nullptr;
  bytes_.clear();
  integer_ = 0;
  number_ = 0;
  moment_ = {};
  if (null_) return;
  std::string_view text(data, length);
  switch (kind_) {
    case FieldKind::kText:
    case FieldKind::kLongText:
    case FieldKind::kBytes:
      bytes_.assign(data, length);
      break;
    case FieldKind::kInt16:
    case FieldKind::kInt32:
    case FieldKind::kInt64: {
      int bits = kind_ == FieldKind::kInt16 ? 16 : kind_ == FieldKind::kInt32 ? 32 : 64;
      integer_ = ReadIntegerText(text, bits).value_or(0);
      break;
    }
    case FieldKind::kFloat:
      number_ = ReadFloatText(text);
      break;
    case FieldKind::kDate:
      moment_ = text.starts_with("0000-00-00")
                    ? kDayZero
                    : std::chrono::floor<std::chrono::days>(ReadDateTimeText(text, true));
      null_ = moment_ == kDayZero;
      break;
    case FieldKind::kTime:
      if (text.starts_with("00:00:00")) {
        null_ = true;
      } else {
        // Only the time of day counts, on kDayZero; an impossible time reads as midnight.
        const std::chrono::local_seconds value = ReadDateTimeText(text, false);
        moment_ = kDayZero + (value - std::chrono::floor<std::chrono::days>(value));
      }
      break;
    case FieldKind::kDateTime:
      moment_ = ReadDateTimeText(text, true);
      null_ = moment_ == kDayZero;
      break;
  }
}

std::string DbField::AsString(const RegionalSettings& formats) const {
  if (null_) return "";
  switch (kind_) {
    case FieldKind::kText:
    case FieldKind::kLongText:
    case FieldKind::kBytes:
      return bytes_;
    case FieldKind::kInt16:
    case FieldKind::kInt32:
    case FieldKind::kInt64:
      return std::to_string(integer_);
    case FieldKind::kFloat:
      return FormatGeneralFloat(number_, formats.decimal_separator);
    case FieldKind::kDate:
      return FormatShortDate(formats, moment_);
    case FieldKind::kTime:
      return FormatLongTime(formats, moment_);
    case FieldKind::kDateTime: {
      const std::string date = FormatShortDate(formats, moment_);
      return IsMidnight(moment_) ? date : date + " " + FormatLongTime(formats, moment_);
    }
  }
  return "";
}

int32_t DbField::AsInteger() const {
  switch (kind_) {
    case FieldKind::kInt16:
    case FieldKind::kInt32:
    case FieldKind::kInt64:
      return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(integer_)));
    case FieldKind::kFloat: {
      if (null_) return 0;
      // Nearest integer, halves to the even neighbour; its low 32 bits as a signed number.
      double low = std::fmod(std::nearbyint(number_), 4294967296.0);
      return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(low)));
    }
    case FieldKind::kText: {
      std::optional<int64_t> v = ReadIntegerText(bytes_, 32);
      if (!v) ThrowDatabaseError("'" + bytes_ + "' is not a valid integer value");
      return static_cast<int32_t>(*v);
    }
    default:
      ThrowDatabaseError("Cannot access field '" + name_ + "' as type Integer");
  }
}

}  // namespace larvek
