// Text conversions used at every boundary: the host speaks UTF-16, XML and files are UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace vantorel::text {

// Invalid sequences become U+FFFD; these never throw.
std::string ToUtf8(std::u16string_view s);
std::u16string ToUtf16(std::string_view s);

// Trims blanks and control characters (code points up to U+0020) from both ends.
std::string Trim(std::string_view s);
std::u16string Trim(std::u16string_view s);

// ASCII-only case folding, enough for the names of settings, tags and properties.
std::string AsciiLower(std::string_view s);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// Letter case ignored in Latin and Cyrillic (А-Я, Ё and the other U+0400 capitals), as the host
// compares the names it is given.
bool EqualsIgnoreLetterCase(std::u16string_view a, std::u16string_view b);

}  // namespace vantorel::text
