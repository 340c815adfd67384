// XML documents exchanged with the host: cleaning and parsing what comes in, building what goes
// out. Every input is untrusted: size and nesting are bounded before pugixml sees the text.
#pragma once

#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace vantorel::xml {

// Nesting deeper than this is refused: destroying a deep DOM recurses.
inline constexpr int kMaxDepth = 256;

// Keeps tab, LF, CR, U+0020-U+D7FF and U+E000-U+FFFD; drops everything else (other control
// characters, both halves of surrogate pairs, U+FFFE, U+FFFF). Returns UTF-8.
std::string CleanXmlText(std::u16string_view text);
std::string CleanXmlText(std::string_view utf8);

// Cleans and parses a host document. Throws std::runtime_error with the parser's message.
void ParseInput(std::u16string_view text, pugi::xml_document& doc);
void ParseInputUtf8(std::string_view utf8, pugi::xml_document& doc);

// A new output document holding only the declaration version="1.0".
void NewOutput(pugi::xml_document& doc);
// The document as text, for the host.
std::u16string ToText(const pugi::xml_document& doc);
std::string ToUtf8Text(const pugi::xml_document& doc);

// Attribute writers that keep output valid XML 1.0.
void SetAttr(pugi::xml_node node, const char* name, std::string_view value);
void SetAttr(pugi::xml_node node, const char* name, bool value);
void SetAttr(pugi::xml_node node, const char* name, long long value);
void SetAttrDouble(pugi::xml_node node, const char* name, double value);

// The first top-level element with the given name (exact), or an empty node.
pugi::xml_node TopElement(const pugi::xml_document& doc, const char* name);

}  // namespace vantorel::xml
