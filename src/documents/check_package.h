// Reading a check package: the attribute value conversions the host's receipt documents rely on.
//
// Every attribute arrives as text (a missing one reads as the empty text). Numbers may use a
// decimal comma or a decimal point. Position sums go through floating point and are rounded to
// ten-thousandths, ties to even; payment sums are read as exact decimal currency. Nothing here
// touches the register.
#pragma once

#include <cstdint>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "device/automation.h"

namespace vantorel::package {

// The trimmed text as a decimal 32-bit integer (optional sign); `def` when empty, not an integer
// or out of range.
std::int32_t VarToIntDef(std::string_view text, std::int32_t def);
// Every "," and "." taken as the decimal point, trimmed, read as a finite number; `def` when
// empty or unreadable.
double VarToFloatDef(std::string_view text, double def);
// The same normalisation, read exactly as a currency amount (ten-thousandths, further digits
// rounded half to even); `def` when empty, 0 when unreadable or beyond the currency range.
std::int64_t VarToCurrDef(std::string_view text, std::int64_t def);
// The exact currency reading of VarToCurrDef; none when the text is not a number or beyond the
// currency range.
std::optional<std::int64_t> ReadCurrency(std::string_view text);
// A position sum: the number times ten thousand, rounded ties to even; 0 when the text is empty
// or blank. Text that is not a number, or a value beyond the currency range, is an input error
// (1004) naming `name` and the text: a sum must never silently become 0 or wrap.
std::int64_t PositionMoney(std::string_view text, const char* name = "");
// A payment or another exact sum: ReadCurrency, 0 when empty or blank, the same input error when
// unreadable.
std::int64_t ExactMoney(std::string_view text, const char* name = "");

// Attribute readers: a missing attribute is the empty text.
inline std::string_view Text(pugi::xml_node node, const char* name) {
  return node.attribute(name).value();
}
std::string Trimmed(pugi::xml_node node, const char* name);
inline std::int32_t Int(pugi::xml_node node, const char* name, std::int32_t def) {
  return VarToIntDef(Text(node, name), def);
}
// The low 8 bits of an integer attribute, as codes of one byte are kept.
inline std::uint8_t Byte(pugi::xml_node node, const char* name) {
  return static_cast<std::uint8_t>(Int(node, name, 0) & 0xFF);
}
inline double Number(pugi::xml_node node, const char* name, double def) {
  return VarToFloatDef(Text(node, name), def);
}
inline std::int64_t Money(pugi::xml_node node, const char* name) {
  return PositionMoney(Text(node, name), name);
}
inline std::int64_t Payment(pugi::xml_node node, const char* name) {
  return ExactMoney(Text(node, name), name);
}

// Base64 attributes. A marking code is bytes; none when its trimmed text is empty. Other Base64
// data is text in the Windows Cyrillic code page, returned as UTF-8; empty stays empty. Data that
// is not Base64 is an input error (1004) naming the attribute: registering garbage as a marking
// or product code would put wrong data into the fiscal document.
std::optional<automation::Bytes> Base64Bytes(pugi::xml_node node, const char* name);
std::string Base64Text(pugi::xml_node node, const char* name);

// A child element by exact name, and the same ignoring letter case (position elements).
inline pugi::xml_node Child(pugi::xml_node parent, const char* name) { return parent.child(name); }
bool IsElement(pugi::xml_node node, const char* name);

}  // namespace vantorel::package
