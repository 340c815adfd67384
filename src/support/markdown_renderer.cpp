#include "support/markdown_renderer.h"

#include <cmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "platform/viewers.h"
#include "support/text.h"
#include "support/zip_reader.h"

namespace vantorel {

namespace fs = std::filesystem;

namespace {

fs::path Utf8Path(std::string_view s) { return fs::path(std::u8string(s.begin(), s.end())); }

std::string PathText(const fs::path& p) {
  std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}

std::string ResourceName(std::string_view name) {
  // Resource names are compared without regard to letter case; the library's are upper-case.
  std::string upper(name);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

std::string_view LookUp(const TMarkdownRenderer::Services& services, std::string_view name) {
  if (name.empty()) return {};
  if (services.resource) return services.resource(name);
  return platform::Resource(ResourceName(name));
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot read the file '" + PathText(path) + "'");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("Cannot write the file '" + PathText(path) + "'");
}

// The first plain file of the folder with the extension (any letter case). Names are taken in
// sorted order, so that the choice does not depend on the file system.
std::string FirstWithExtension(const fs::path& folder, std::string_view extension) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
    std::error_code typeEc;
    if (!entry.is_regular_file(typeEc)) continue;
    std::string name = PathText(entry.path().filename());
    std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0 &&
        text::EqualsIgnoreCase(std::string_view(name).substr(dot + 1), extension)) {
      names.push_back(std::move(name));
    }
  }
  if (ec) throw std::runtime_error("Cannot list the folder '" + PathText(folder) + "'");
  if (names.empty()) return {};
  return *std::min_element(names.begin(), names.end());
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::uint32_t Byte(std::string_view b, std::size_t i) { return static_cast<unsigned char>(b[i]); }

std::string FromUtf16(std::string_view b, bool bigEndian) {
  std::u16string units;
  units.reserve(b.size() / 2);
  for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
    std::uint32_t lo = Byte(b, i + (bigEndian ? 1 : 0)), hi = Byte(b, i + (bigEndian ? 0 : 1));
    units += static_cast<char16_t>(hi << 8 | lo);
  }
  std::string out = text::ToUtf8(units);
  if (b.size() % 2) out += "\xEF\xBF\xBD";  // a dangling byte
  return out;
}

std::string FromUtf32(std::string_view b, bool bigEndian) {
  std::string out;
  for (std::size_t i = 0; i + 3 < b.size(); i += 4) {
    std::uint32_t cp =
        bigEndian ? Byte(b, i) << 24 | Byte(b, i + 1) << 16 | Byte(b, i + 2) << 8 | Byte(b, i + 3)
                  : Byte(b, i + 3) << 24 | Byte(b, i + 2) << 16 | Byte(b, i + 1) << 8 | Byte(b, i);
    AppendUtf8(out, cp);
  }
  if (b.size() % 4) out += "\xEF\xBF\xBD";
  return out;
}

// Valid UTF-8 passes unchanged; each invalid sequence becomes U+FFFD.
std::string CleanUtf8(std::string_view b) {
  // Round trip through UTF-16 with the shared converter, which replaces what is invalid.
  return text::ToUtf8(text::ToUtf16(b));
}

// The style sheet's name inside an attribute value and a relative URL.
std::string HrefOf(std::string_view name) {
  std::string out;
  for (char c : name) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '%':
        out += "%25";
        break;
      case '#':
        out += "%23";
        break;
      case '?':
        out += "%3F";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

std::string TMarkdownRenderer::DecodeText(std::string_view b) {
  auto starts = [&](std::string_view mark) { return b.substr(0, mark.size()) == mark; };
  using namespace std::string_view_literals;
  // UTF-32 LE begins like UTF-16 LE: the longer mark is tried first.
  if (starts("\xFF\xFE\x00\x00"sv)) return FromUtf32(b.substr(4), false);
  if (starts("\x00\x00\xFE\xFF"sv)) return FromUtf32(b.substr(4), true);
  if (starts("\xEF\xBB\xBF"sv)) return CleanUtf8(b.substr(3));
  if (starts("\xFF\xFE"sv)) return FromUtf16(b.substr(2), false);
  if (starts("\xFE\xFF"sv)) return FromUtf16(b.substr(2), true);
  return CleanUtf8(b);
}

std::string TMarkdownRenderer::MarkdownToHtml(std::string_view markdown) {
  // Raw HTML passes through, as CommonMark has it: the document is the library's own resource.
  std::unique_ptr<char, decltype(&std::free)> html(
      cmark_markdown_to_html(markdown.data(), markdown.size(), CMARK_OPT_UNSAFE), &std::free);
  if (!html) throw std::runtime_error("Cannot convert the Markdown text: out of memory");
  return html.get();
}

std::string TMarkdownRenderer::PageText(const std::string& fragment,
                                        const std::string& styleSheetName) {
  if (styleSheetName.empty()) return fragment;
  const std::string lines[] = {
      "<!DOCTYPE html>", "<html>",
      "<head>",          "<link href=\"" + HrefOf(styleSheetName) + "\" rel=\"stylesheet\">",
      "</head>",         "<body>",
      fragment,          "</body>",
      "</html>"};
  std::string page;
  for (const std::string& line : lines) {
    if (!page.empty()) page += "\r\n";
    page += line;
  }
  return page;
}

bool TMarkdownRenderer::SourceExist(std::string_view sourceName, const Services& services) {
  return !LookUp(services, sourceName).empty();
}

void TMarkdownRenderer::Render(std::string_view sourceName, std::string_view caption,
                               const Services& services) {
  if (!SourceExist(sourceName, services)) {
    throw std::runtime_error("File not found: " + std::string(sourceName));
  }
  TMarkdownRenderer renderer(sourceName, services);
  renderer.Render(caption);
}

TMarkdownRenderer::TMarkdownRenderer(std::string_view sourceName, const Services& services)
    : FSourceName(sourceName), FServices(services) {
  fs::path root =
      services.tempRoot.empty() ? fs::temp_directory_path() : Utf8Path(services.tempRoot);
  fs::path folder = root / Utf8Path("{" + platform::NewGuid() + "}");
  std::error_code ec;
  fs::create_directories(root, ec);
  // A folder that is already there is not ours: refuse it rather than write into it.
  if (ec || !fs::create_directory(folder, ec) || ec) {
    throw std::runtime_error("Cannot create the folder '" + PathText(folder) + "'" +
                             (ec ? ": " + ec.message() : std::string()));
  }
  fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace, ec);
  FTempDirectory = PathText(folder);
}

TMarkdownRenderer::~TMarkdownRenderer() {
  std::error_code ec;
  fs::remove_all(Utf8Path(FTempDirectory), ec);
}

std::string_view TMarkdownRenderer::Source() const { return LookUp(FServices, FSourceName); }

bool TMarkdownRenderer::SourceExist() const { return !Source().empty(); }

std::string TMarkdownRenderer::Render(std::string_view caption) {
  std::string_view archive = Source();
  if (archive.empty()) throw std::runtime_error("File not found: " + FSourceName);
  const fs::path folder = Utf8Path(FTempDirectory);
  WriteAll(folder / "md.zip", archive);
  zip::ExtractAll(archive, FTempDirectory);

  std::string markdownName = FirstWithExtension(folder, "md");
  if (markdownName.empty()) throw std::runtime_error("Mardown file not found");
  std::string markdown = DecodeText(ReadAll(folder / Utf8Path(markdownName)));
  std::string fragment = MarkdownToHtml(markdown);
  std::string styleSheet = FirstWithExtension(folder, "css");

  const fs::path page = folder / "md.html";
  WriteAll(page, "\xEF\xBB\xBF" + PageText(fragment, styleSheet));
  std::string pagePath = PathText(page);
  if (FServices.show) {
    FServices.show(pagePath, std::string(caption));
  } else {
    platform::ShowDocument(pagePath, std::string(caption));
  }
  return pagePath;
}

}  // namespace vantorel
