// Fiscal data as the register's fiscal storage keeps it: tags with typed values, compound tags
// (STLV) holding their children, and the TLV byte form used for composed tags and for reading
// documents back.
//
// TLV form: tag number as 2 bytes little-endian, value length as 2 bytes little-endian, value.
// Value encodings: strings in code page 866 (the fiscal data's own text encoding; characters
// outside it become '?'); money (VLN) as the kopeck count, little-endian, in as few bytes as it
// needs; quantities (FVLN) as one byte with the count of decimal places followed by the scaled
// integer, little-endian; integers as 1, 2 or 4 bytes little-endian by type; date-times as 4-byte
// little-endian seconds since 1970 of the register's wall clock; Booleans as one byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/automation.h"

namespace vantorel::emulator {

// The tag types as readNextRecord reports them in LIBFPTR_PARAM_TAG_TYPE.
enum class TagType : int {
  kStlv = 0,
  kString = 1,
  kBytes = 2,
  kFvln = 3,
  kBits = 4,
  kByte = 5,
  kVln = 6,
  kUInt16 = 7,
  kUInt32 = 8,
  kUnixTime = 9,
  kBool = 10,
};

struct Tag {
  int number = 0;
  TagType type = TagType::kString;
  std::string text;  // kString (UTF-8)
  std::int64_t integer =
      0;  // kBits, kByte, kUInt16, kUInt32, kUnixTime (wall seconds), kBool, kVln (kopecks)
  double real = 0;            // kFvln
  automation::Bytes bytes;    // kBytes
  std::vector<Tag> children;  // kStlv

  static Tag String(int number, std::string v);
  static Tag Integer(int number, TagType type, std::int64_t v);
  static Tag Money(int number, std::int64_t kopecks);
  static Tag Quantity(int number, double v);
  static Tag Time(int number, std::int64_t wallSeconds);
  static Tag Flag(int number, bool v);
  static Tag Raw(int number, automation::Bytes v);
  static Tag Compound(int number, std::vector<Tag> children);

  // The value as the records reader hands it out (LIBFPTR_PARAM_TAG_VALUE).
  automation::Value ToValue() const;
  // A short text of the value, for the printed form and diagnostics.
  std::string ToText() const;
  friend bool operator==(const Tag&, const Tag&) = default;
};

struct TagInfo {
  int number;
  TagType type;
  std::string_view name;
};

// The register's tag dictionary; nothing for a tag it does not know.
const TagInfo* FindTagInfo(int number);
std::string TagName(int number);

// Tag numbers share the parameter id space of setParam: 1..65535 are tags.
inline bool IsTagNumber(std::int64_t id) { return id >= 1 && id <= 65535; }

// Builds a tag from a value staged with setParam. The dictionary decides the type; an unknown tag
// takes its type from the value. Bytes staged for a compound tag are parsed into children (and
// kept as plain bytes when they are not valid TLV). Returns an error text when the value does not
// fit the tag's type.
std::optional<Tag> TagFromStaged(int number, const automation::Value& v, std::string& error);

// TLV encoding of one tag (header and value) and of a tag's value alone.
automation::Bytes EncodeTlv(const Tag& tag);
automation::Bytes EncodeValue(const Tag& tag);
// Parses a sequence of TLVs; nothing when the bytes are malformed. Nesting is bounded.
std::optional<std::vector<Tag>> ParseTlvs(const automation::Bytes& bytes, int depth = 0);

// Code page 866 conversion of texts (UTF-8 in and out).
std::string Utf8ToCp866(std::string_view utf8);
std::string Cp866ToUtf8(std::string_view cp866);

// Automation dates are days since 1899-12-30 in the register's local wall time.
std::int64_t DateToWall(automation::Date d);
automation::Date WallToDate(std::int64_t wallSeconds);
// "yyyy-mm-dd hh:nn:ss" of a wall time.
std::string FormatWall(std::int64_t wallSeconds);

}  // namespace vantorel::emulator
