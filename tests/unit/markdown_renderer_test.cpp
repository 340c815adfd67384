#include "support/markdown_renderer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_zip.h"

namespace vantorel {
namespace {

namespace fs = std::filesystem;
using testing::MakeZip;
using testing::Sandbox;

const std::string kBom = "\xEF\xBB\xBF";
const std::string kGuide = "# Справка\n\nТекст с *курсивом*.\n";
const std::string kGuideHtml = "<h1>Справка</h1>\n<p>Текст с <em>курсивом</em>.</p>\n";

std::string ReadFile(const std::string& path) {
  std::ifstream in(fs::path(std::u8string(path.begin(), path.end())), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Renders an archive as the resource "help" with private folders inside a sandbox; what the
// viewer was given is kept, the page read while it still exists.
struct HelpRun {
  Sandbox box;
  std::string archive;
  int shown = 0;
  std::string pagePath, caption, page;

  TMarkdownRenderer::Services Services() {
    return {[this](std::string_view name) {
              return name == "help" ? std::string_view(archive) : std::string_view();
            },
            [this](const std::string& path, const std::string& cap) {
              ++shown;
              pagePath = path;
              caption = cap;
              page = ReadFile(path);
            },
            box.str()};
  }
  // The error text of a failed render, empty on success.
  std::string Render(std::string_view name = "help") {
    try {
      TMarkdownRenderer::Render(name, "Справка", Services());
      return {};
    } catch (const std::runtime_error& e) {
      return e.what();
    }
  }
};

TEST(MarkdownRenderer, TheEmptyArchiveFindsNoMarkdownAndLeavesNothing) {
  HelpRun run;
  run.archive = MakeZip({});
  EXPECT_EQ(run.Render(), "Mardown file not found");
  EXPECT_EQ(run.shown, 0);
  EXPECT_TRUE(run.box.Contents().empty());
}

TEST(MarkdownRenderer, GuideWithStyleSheetGivesTheFramedPage) {
  HelpRun run;
  run.archive = MakeZip({{"style.css", "body { color: red; }"}, {"guide.md", kGuide, true}});
  EXPECT_EQ(run.Render(), "");
  ASSERT_EQ(run.shown, 1);
  EXPECT_EQ(run.caption, "Справка");
  EXPECT_EQ(fs::path(run.pagePath).filename(), "md.html");
  EXPECT_EQ(run.page, kBom +
                          "<!DOCTYPE html>\r\n<html>\r\n<head>\r\n"
                          "<link href=\"style.css\" rel=\"stylesheet\">\r\n</head>\r\n<body>\r\n" +
                          kGuideHtml + "\r\n</body>\r\n</html>");
  EXPECT_TRUE(run.box.Contents().empty());
}

TEST(MarkdownRenderer, GuideAloneGivesTheBareFragment) {
  HelpRun run;
  run.archive = MakeZip({{"guide.md", kGuide}, {"notes.txt", "not a style sheet"}});
  EXPECT_EQ(run.Render(), "");
  EXPECT_EQ(run.page, kBom + kGuideHtml);
  EXPECT_TRUE(run.box.Contents().empty());
}

TEST(MarkdownRenderer, ExtensionsMatchInAnyCaseAndOnlyAtTheTopLevel) {
  HelpRun run;
  run.archive = MakeZip({{"sub/other.md", "# Не та"}, {"GUIDE.MD", kGuide}, {"Site.CSS", ""}});
  EXPECT_EQ(run.Render(), "");
  EXPECT_NE(run.page.find("<link href=\"Site.CSS\" rel=\"stylesheet\">"), std::string::npos);
  EXPECT_NE(run.page.find(kGuideHtml), std::string::npos);
}

TEST(MarkdownRenderer, Utf16MarkdownWithAByteOrderMarkIsRead) {
  std::u16string utf16 = u"# Справка\n\nТекст с *курсивом*.\n";
  std::string le = "\xFF\xFE";
  for (char16_t c : utf16) le += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  HelpRun run;
  run.archive = MakeZip({{"guide.md", le}});
  EXPECT_EQ(run.Render(), "");
  EXPECT_EQ(run.page, kBom + kGuideHtml);
}

TEST(MarkdownRenderer, DecodeTextFollowsTheByteOrderMark) {
  using namespace std::string_literals;
  struct Case {
    std::string bytes, text;
  } cases[] = {
      {"Ж", "Ж"},
      {"\xEF\xBB\xBF"
       "Ж",
       "Ж"},
      {"\xFF\xFE\x16\x04", "Ж"},
      {"\xFE\xFF\x04\x16", "Ж"},
      {"\xFF\xFE\x00\x00\x16\x04\x00\x00"s, "Ж"},
      {"\x00\x00\xFE\xFF\x00\x01\xF6\x00"s, "\xF0\x9F\x98\x80"},  // U+1F600
      {"\xFF\xFE\x3D\xD8\x00\xDE"s, "\xF0\x9F\x98\x80"},          // a surrogate pair
      {"a\xC0"
       "b",
       "a\xEF\xBF\xBD"
       "b"},                                  // invalid UTF-8
      {"\xFF\xFE\x00\xD8"s, "\xEF\xBF\xBD"},  // lone surrogate
      {"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TMarkdownRenderer::DecodeText(c.bytes), c.text) << ::testing::PrintToString(c.bytes);
  }
}

TEST(MarkdownRenderer, MissingSourcesAreReportedByName) {
  HelpRun run;
  run.archive = MakeZip({{"guide.md", kGuide}});
  EXPECT_EQ(run.Render(""), "File not found: ");
  EXPECT_EQ(run.Render("other"), "File not found: other");
  EXPECT_EQ(run.shown, 0);
  EXPECT_TRUE(run.box.Contents().empty());
}

TEST(MarkdownRenderer, TheFolderGoesAlsoWhenShowingFails) {
  HelpRun run;
  run.archive = MakeZip({{"guide.md", kGuide}});
  TMarkdownRenderer::Services s = run.Services();
  s.show = [](const std::string&, const std::string&) { throw std::runtime_error("no window"); };
  EXPECT_THROW(TMarkdownRenderer::Render("help", "x", s), std::runtime_error);
  EXPECT_TRUE(run.box.Contents().empty());
}

// The private folder sits directly under the temporary folder and is named by a fresh GUID.
TEST(MarkdownRenderer, ThePrivateFolderIsABracedUpperCaseGuid) {
  HelpRun run;
  run.archive = MakeZip({{"guide.md", kGuide}});
  std::string folder;
  {
    TMarkdownRenderer renderer("help", run.Services());
    folder = renderer.TempDirectory();
    fs::path p(std::u8string(folder.begin(), folder.end()));
    EXPECT_TRUE(fs::is_directory(p));
    EXPECT_EQ(p.parent_path(), run.box.path());
    std::u8string name = p.filename().u8string();
    ASSERT_EQ(name.size(), 38u);
    EXPECT_EQ(name.front(), u8'{');
    EXPECT_EQ(name.back(), u8'}');
    for (char8_t c : name) EXPECT_FALSE(c >= u8'a' && c <= u8'z');
    EXPECT_EQ(renderer.Render("Справка"),
              folder + static_cast<char>(fs::path::preferred_separator) + "md.html");
  }
  EXPECT_TRUE(run.box.Contents().empty());
}

TEST(MarkdownRenderer, AHostileArchiveWritesNothingOutsideAndLeavesNothing) {
  for (const char* name : {"../escape.md", "../../escape.md", "/tmp/escape.md", "C:\\escape.md"}) {
    SCOPED_TRACE(name);
    HelpRun run;
    run.archive = MakeZip({{name, "# Вне папки"}, {"guide.md", kGuide}});
    EXPECT_NE(run.Render().find("ZIP archive"), std::string::npos);
    EXPECT_EQ(run.shown, 0);
    EXPECT_TRUE(run.box.Contents().empty());
  }
}

// The help the library carries: its own resource, named in lower case as the action names it.
TEST(MarkdownRenderer, TheBuiltInHelpRendersAsAStyledPage) {
  Sandbox box;
  std::string page;
  TMarkdownRenderer::Render(
      "help", "Справка",
      {nullptr, [&](const std::string& path, const std::string&) { page = ReadFile(path); },
       box.str()});
  EXPECT_EQ(page.rfind(kBom + "<!DOCTYPE html>\r\n", 0), 0u);
  EXPECT_NE(page.find("<link href=\"style.css\" rel=\"stylesheet\">"), std::string::npos);
  EXPECT_NE(page.find("<h1>"), std::string::npos);
  EXPECT_TRUE(box.Contents().empty());
}

}  // namespace
}  // namespace vantorel
