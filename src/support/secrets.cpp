#include "support/secrets.h"

#include <pugixml.hpp>

#include "support/text.h"
#include "support/xml.h"

namespace vantorel::secrets {

namespace {

constexpr std::string_view kSuffix = "password";
constexpr std::u16string_view kUnreadable =
    u"(not written: a document that cannot be read and may hold a password)";

bool MentionsPassword(std::string_view utf8) {
  return text::AsciiLower(utf8).find(kSuffix) != std::string::npos;
}

bool LooksLikeXml(std::u16string_view s) {
  for (char16_t c : s) {
    if (c == u'<') return true;
    if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n' && c != u'\xFEFF') return false;
  }
  return false;
}

bool IsSecretElement(pugi::xml_node node) {
  for (pugi::xml_attribute a : node.attributes())
    if (text::EqualsIgnoreCase(a.name(), "Name") && IsSecretName(a.value())) return true;
  return false;
}

void MaskElement(pugi::xml_node node) {
  const std::string mask = text::ToUtf8(kMask);
  for (pugi::xml_attribute a : node.attributes())
    if (!text::EqualsIgnoreCase(a.name(), "Name")) a.set_value(mask.c_str());
  if (node.first_child()) {
    while (node.first_child()) node.remove_child(node.first_child());
    node.append_child(pugi::node_pcdata).set_value(mask.c_str());
  }
}

// The document with its secrets masked; the text unchanged when it holds none.
std::u16string HideInDocument(const std::u16string& original) {
  // The driver reads the cleaned text, so that is what decides; a character reference could
  // spell a name without the word itself in the text.
  const std::string clean = xml::CleanXmlText(original);
  if (!MentionsPassword(clean) && clean.find('&') == std::string::npos) return original;
  pugi::xml_document doc;
  try {
    xml::ParseInputUtf8(clean, doc);
  } catch (const std::exception&) {
    return MentionsPassword(clean) ? std::u16string(kUnreadable) : original;
  }
  bool masked = false;
  std::vector<pugi::xml_node> pending{doc};  // no recursion: the depth is the host's to choose
  while (!pending.empty()) {
    const pugi::xml_node node = pending.back();
    pending.pop_back();
    if (node.type() == pugi::node_element && IsSecretElement(node)) {
      MaskElement(node);
      masked = true;
      continue;
    }
    for (pugi::xml_node child : node.children())
      if (child.type() == pugi::node_element) pending.push_back(child);
  }
  if (!masked) return original;
  struct Writer : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override {
      out.append(static_cast<const char*>(data), size);
    }
  } w;
  doc.save(w, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
  return text::ToUtf16(w.out);
}

}  // namespace

bool IsSecretName(std::string_view name) {
  const std::string lower = text::AsciiLower(text::Trim(name));
  return lower.size() >= kSuffix.size() && lower.ends_with(kSuffix);
}

void HideInParams(std::vector<std::u16string>& params) {
  bool afterSecretName = false;
  for (std::u16string& p : params) {
    const bool secretName = p.size() <= 256 && IsSecretName(text::ToUtf8(p));
    if (afterSecretName)
      p = kMask;
    else if (LooksLikeXml(p))
      p = HideInDocument(p);
    afterSecretName = secretName;
  }
}

}  // namespace vantorel::secrets
