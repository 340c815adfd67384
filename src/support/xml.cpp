#include "support/xml.h"

#include <optional>
#include <stdexcept>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "addin/v8napi.h"
#include "support/text.h"

namespace vantorel::xml {

namespace {
bool Allowed(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD);
}

// A conservative scan for the element depth: skips comments, CDATA, declarations and
// quoted attribute values. It never under-counts, so pugixml never builds a deeper tree.
int MaxDepth(std::string_view s) {
  int depth = 0, max = 0;
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    if (s[i] != '<') {
      ++i;
      continue;
    }
    if (s.compare(i, 4, "<!--") == 0) {
      const auto e = s.find("-->", i + 4);
      i = e == std::string_view::npos ? n : e + 3;
    } else if (s.compare(i, 9, "<![CDATA[") == 0) {
      const auto e = s.find("]]>", i + 9);
      i = e == std::string_view::npos ? n : e + 3;
    } else if (i + 1 < n && (s[i + 1] == '?' || s[i + 1] == '!')) {
      const auto e = s.find('>', i + 2);
      i = e == std::string_view::npos ? n : e + 1;
    } else if (i + 1 < n && s[i + 1] == '/') {
      --depth;
      const auto e = s.find('>', i + 2);
      i = e == std::string_view::npos ? n : e + 1;
    } else {
      char quote = 0;
      std::size_t j = i + 1;
      for (; j < n; ++j) {
        const char c = s[j];
        if (quote) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>') {
          break;
        }
      }
      const bool selfClosing = j < n && j > i + 1 && s[j - 1] == '/';
      if (!selfClosing && ++depth > max) max = depth;
      i = j + 1;
    }
  }
  return max;
}
// XML 1.0 allows an attribute only once per element; pugixml keeps every copy, and readers would
// take the first. The first repeated name found, with its element's offset, or none.
std::optional<std::pair<std::string, std::ptrdiff_t>> RepeatedAttribute(
    const pugi::xml_node& root) {
  std::unordered_set<std::string_view> seen;
  for (pugi::xml_node n = root.first_child(); n;) {
    if (n.type() == pugi::node_element && n.first_attribute() &&
        n.first_attribute().next_attribute()) {
      seen.clear();
      for (pugi::xml_attribute a : n.attributes())
        if (!seen.insert(a.name()).second)
          return std::make_pair(std::string(a.name()).substr(0, 64), n.offset_debug());
    }
    // Depth-first, without recursion.
    if (n.first_child()) {
      n = n.first_child();
      continue;
    }
    while (n && !n.next_sibling()) n = n.parent() == root ? pugi::xml_node() : n.parent();
    if (n) n = n.next_sibling();
  }
  return std::nullopt;
}
}  // namespace

std::string CleanXmlText(std::u16string_view text) {
  std::u16string kept;
  kept.reserve(text.size());
  for (char16_t c : text)
    if (Allowed(c)) kept += c;  // surrogates are outside the allowed ranges
  return text::ToUtf8(kept);
}

std::string CleanXmlText(std::string_view utf8) { return CleanXmlText(text::ToUtf16(utf8)); }

void ParseInputUtf8(std::string_view utf8, pugi::xml_document& doc) {
  const std::string clean = CleanXmlText(utf8);
  if (MaxDepth(clean) > kMaxDepth)
    throw std::runtime_error("XML document is nested deeper than " + std::to_string(kMaxDepth) +
                             " levels");
  const auto r = doc.load_buffer(clean.data(), clean.size(),
                                 pugi::parse_default | pugi::parse_declaration, pugi::encoding_utf8);
  if (!r)
    throw std::runtime_error(std::string("XML parse error: ") + r.description() + " at offset " +
                             std::to_string(r.offset));
  if (const auto repeated = RepeatedAttribute(doc)) {
    doc.reset();
    throw std::runtime_error("XML parse error: Duplicate attribute '" + repeated->first +
                             "' at offset " + std::to_string(repeated->second));
  }
}

void ParseInput(std::u16string_view text, pugi::xml_document& doc) {
  const std::string clean = CleanXmlText(text);
  ParseInputUtf8(clean, doc);
}

void NewOutput(pugi::xml_document& doc) {
  doc.reset();
  auto decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
}

std::string ToUtf8Text(const pugi::xml_document& doc) {
  struct Writer : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override {
      out.append(static_cast<const char*>(data), size);
    }
  } w;
  doc.save(w, "", pugi::format_raw, pugi::encoding_utf8);
  return w.out;
}

std::u16string ToText(const pugi::xml_document& doc) { return text::ToUtf16(ToUtf8Text(doc)); }

void SetAttr(pugi::xml_node node, const char* name, std::string_view value) {
  const std::string clean = CleanXmlText(value);
  node.append_attribute(name) = clean.c_str();
}

void SetAttr(pugi::xml_node node, const char* name, bool value) {
  node.append_attribute(name) = value ? "true" : "false";
}

void SetAttr(pugi::xml_node node, const char* name, long long value) {
  node.append_attribute(name) = std::to_string(value).c_str();
}

void SetAttrDouble(pugi::xml_node node, const char* name, double value) {
  node.append_attribute(name) = FormatDouble(value, '.').c_str();
}

pugi::xml_node TopElement(const pugi::xml_document& doc, const char* name) {
  for (auto n : doc.children())
    if (n.type() == pugi::node_element && std::string_view(n.name()) == name) return n;
  return {};
}

}  // namespace vantorel::xml
