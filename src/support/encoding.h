// Byte encodings the host's documents use: Base64 and the Windows Cyrillic code pages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::encoding {

// Standard alphabet; blanks and line breaks are skipped. Nothing when the text is not Base64.
std::optional<std::vector<std::uint8_t>> Base64Decode(std::string_view text);
// Standard alphabet with padding; a CR LF after every 76 characters when `lineBreaks`.
std::string Base64Encode(const std::vector<std::uint8_t>& bytes, bool lineBreaks);

// Code page 1251 (the Russian system's ANSI code page) and 866 (its OEM code page) to UTF-8.
std::string Cp1251ToUtf8(std::string_view bytes);
std::string Cp866ToUtf8(std::string_view bytes);
// UTF-8 to code page 1251; characters it lacks become '?'.
std::string Utf8ToCp1251(std::string_view utf8);

}  // namespace vantorel::encoding
