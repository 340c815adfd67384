// Text documents and the paper finishing every printed document gets.
#include <stdexcept>

#include "protocol/driver.h"
#include "support/encoding.h"
#include "support/equipment_errors.h"
#include "support/text.h"

namespace vantorel {

namespace {

bool ContainsIgnoringLatinCase(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return false;
  const std::string h = text::AsciiLower(haystack), n = text::AsciiLower(needle);
  return h.find(n) != std::string::npos;
}

bool Contains(std::string_view haystack, std::string_view needle) {
  return !needle.empty() && haystack.find(needle) != std::string_view::npos;
}

bool IsPosition(pugi::xml_node n, const char* name) {
  return n.type() == pugi::node_element && text::EqualsIgnoreCase(n.name(), name);
}

// "True"/"False" in any letter case; anything else is false.
bool NoCutOf(pugi::xml_node document) {
  return text::AsciiLower(document.attribute("NoCut").value()) == "true";
}

}  // namespace

void TDriver::CutAfterDocument(bool noCut, bool fiscalDocument) {
  TDeviceDriver& in = Instance();
  if (noCut || (fiscalDocument && in.AutoCut)) return;
  if (!fiscalDocument) in.Device().Feed(6);
  if (in.PlatformVer == TPlatformVersion::pvOld) in.Device().Cut(true);
}

void SplitTextLines(const std::string& source, std::int32_t width, std::vector<std::string>& lines) {
  // Positions count characters, not bytes.
  std::u16string t;
  {
    const std::u16string s = text::ToUtf16(source);
    for (std::size_t i = 0; i < s.size(); ++i) {
      if (s[i] == u'\r') {
        t += u'\n';
        if (i + 1 < s.size() && s[i + 1] == u'\n') ++i;
      } else {
        t += s[i];
      }
    }
  }
  const auto add = [&](std::u16string_view line) {
    if (!text::Trim(line).empty()) lines.push_back(text::ToUtf8(line));
  };
  const std::int64_t w = width;
  // 1-based positions, as the rule is written.
  std::size_t c = 1, s = 1, p = 1;
  std::int64_t n = 0;
  std::u16string b;
  const auto at = [&](std::size_t pos) { return t[pos - 1]; };
  const auto sub = [&](std::size_t from, std::size_t to) {  // T[from..to]
    return to < from ? std::u16string() : t.substr(from - 1, to - from + 1);
  };
  while (p <= t.size()) {
    ++n;
    const char16_t x = at(p);
    if (x == u' ') s = p;
    if (x == u'\n') {
      add(sub(c, p - 1));
      b.clear();
      n = 0;
      ++p;
      c = s = p;
      continue;
    }
    if (n <= w) b += x;
    const bool nextBreaks = p + 1 <= t.size() && (at(p + 1) == u' ' || at(p + 1) == u'\n');
    if (nextBreaks && n >= w) {
      add(sub(c, p));
      b.clear();
      n = 0;
      p += 2;
      c = s = p;
      continue;
    }
    if (n >= w) {
      if (s == c) {
        add(sub(c, p));
        ++p;
      } else {
        add(sub(c, s - 1));
        p = s + 1;
      }
      b.clear();
      n = 0;
      c = s = p;
      continue;
    }
    ++p;
  }
  if (!b.empty()) lines.push_back(text::ToUtf8(b));
}

void TDriver::PrintTextPosition(pugi::xml_node position) {
  TDevice& dev = Device();
  if (IsPosition(position, "TextString")) {
    const std::string line = position.attribute("Text").value();
    if (!PrintGraphicTextTag(line)) dev.PrintString(line);
  } else if (IsPosition(position, "Barcode")) {
    std::string data = position.attribute("Value").value();
    if (data.empty()) {
      const auto bytes = encoding::Base64Decode(position.attribute("ValueBase64").value());
      if (bytes) data = encoding::Cp1251ToUtf8(std::string(bytes->begin(), bytes->end()));
    }
    const std::string type = text::AsciiLower(position.attribute("Type").value());
    if (type == "ean8") dev.PrintBarCode(data, TDevice::TBarCodeType::btEAN8);
    else if (type == "ean13") dev.PrintBarCode(data, TDevice::TBarCodeType::btEAN13);
    else if (type == "code39") dev.PrintBarCode(data, TDevice::TBarCodeType::btCODE39);
    else if (type == "qr") dev.PrintBarCode(data, TDevice::TBarCodeType::btQR);
  } else if (IsPosition(position, "GraphicText")) {
    const std::string size = text::Trim(position.attribute("FontSize").value());
    std::int32_t fontSize = 12;
    try {
      std::size_t used = 0;
      const long v = std::stol(size, &used);
      if (used == size.size() && v >= INT32_MIN && v <= INT32_MAX) fontSize = static_cast<std::int32_t>(v);
    } catch (const std::exception&) {
      // Not a number: the default size.
    }
    dev.PrintGraphicText(position.attribute("Text").value(), position.attribute("FontName").value(),
                         position.attribute("FontStyle").value(), fontSize);
  }
}

void TDriver::PrintTextDocument(const pugi::xml_document& package) {
  TDeviceDriver& in = Instance();
  TDevice& dev = in.Device();
  dev.CancelReceipt();

  const pugi::xml_node root = package.document_element();
  const pugi::xml_node positions = root ? root.child("Positions") : pugi::xml_node();
  if (!positions) throw errors::InputError();
  const bool noCut = std::string_view(root.name()) == "Document" && NoCutOf(root);
  const std::string& marker = in.CutString;

  std::vector<pugi::xml_node> items;
  for (pugi::xml_node n : positions.children())
    if (n.type() == pugi::node_element) items.push_back(n);

  if (in.PlatformVer == TPlatformVersion::pvOld) {
    for (pugi::xml_node n : items) {
      if (IsPosition(n, "TextString") && ContainsIgnoringLatinCase(n.attribute("Text").value(), marker))
        CutAfterDocument(false, false);
      else
        PrintTextPosition(n);
    }
    CutAfterDocument(noCut, false);
    return;
  }

  // Every segment that ends in a marker is a non-fiscal document of its own; the segment after
  // the last marker is one more, or plain lines with NoCut. Only marker lines count as markers:
  // a marker text inside another position's data does not open a document.
  const auto isMarker = [&](pugi::xml_node n) {
    return IsPosition(n, "TextString") && Contains(n.attribute("Text").value(), marker);
  };
  std::vector<std::size_t> markersFrom(items.size() + 1, 0);  // marker lines at or after i
  for (std::size_t i = items.size(); i-- > 0;) markersFrom[i] = markersFrom[i + 1] + (isMarker(items[i]) ? 1 : 0);

  bool pending = markersFrom[0] > 0 || noCut;
  bool opened = false;
  if (!pending) {
    opened = true;
    dev.BeginNonfiscalDocument();
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (pending && markersFrom[i] > 0) {
      dev.BeginNonfiscalDocument();
      pending = false;
    } else if (pending && !noCut) {
      dev.BeginNonfiscalDocument();
      pending = false;
      opened = true;
    }
    if (isMarker(items[i])) {
      dev.EndNonfiscalDocument(false);
      pending = true;
      if (i + 1 == items.size()) opened = false;
    } else {
      PrintTextPosition(items[i]);
    }
  }
  if (opened) dev.EndNonfiscalDocument(false);
}

}  // namespace vantorel
