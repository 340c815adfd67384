#include "documents/graphic_text.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <vector>

#include "support/equipment_errors.h"

namespace fs = std::filesystem;
namespace gt = vantorel::graphic_text;
using vantorel::GraphicPicture;

namespace {

constexpr int kRibbonMm = 68;  // a 78 mm roll less the margins

GraphicPicture Draw(const std::string& text, int fontSize = 20, const std::string& style = "",
                    const std::string& font = "Arial", const std::string& align = "center",
                    bool multiline = true, int widthMm = kRibbonMm) {
  return gt::Render(text, widthMm, gt::PrintHeightMm(fontSize), fontSize, font, style, align,
                    "center", multiline);
}

// Leftmost and rightmost inked columns, -1 when there is no ink.
std::pair<int, int> InkColumns(const GraphicPicture& p) {
  int left = -1, right = -1;
  for (int x = 0; x < p.width; ++x)
    for (int y = 0; y < p.height; ++y)
      if (p.pixels[static_cast<std::size_t>(y) * p.width + x]) {
        if (left < 0) left = x;
        right = x;
        break;
      }
  return {left, right};
}

void ExpectWellFormed(const GraphicPicture& p) {
  EXPECT_EQ(p.width, kRibbonMm * 8);
  EXPECT_EQ(p.pixels.size(), static_cast<std::size_t>(p.width) * p.height);
  EXPECT_TRUE(std::all_of(p.pixels.begin(), p.pixels.end(), [](auto b) { return b <= 1; }));
}

TEST(GraphicTextTest, PictureIsAsWideAsTheRibbonAndAsTallAsTheText) {
  // A text short enough to stay on one line at every size tried.
  for (int size : {0, -5, 8, 20, 40, 60}) {
    SCOPED_TRACE(size);
    GraphicPicture p = Draw("Итог", size);
    ExpectWellFormed(p);
    EXPECT_GT(p.height, 0);
    EXPECT_GT(p.BlackCount(), 0u);
    // The height is the text's: a line is somewhat taller than the character height.
    int em = gt::FontPixelHeight(size > 0 ? size : gt::kDefaultFontSize);
    EXPECT_GE(p.height, em);
    EXPECT_LE(p.height, em * 3 / 2);
    EXPECT_EQ(
        vantorel::GetGraphicText("Итог", kRibbonMm, 0, size, "Arial", "", "center", "center", true),
        p.pixels);
  }
}

TEST(GraphicTextTest, HeightFollowsTheWrappedLines) {
  const int one = Draw("SALE", 30).height;
  EXPECT_NEAR(Draw("SALE\nSALE", 30).height, 2 * one, 2);
  EXPECT_NEAR(Draw("SALE\r\nSALE\r\nSALE", 30).height, 3 * one, 3);

  // Words wrap at the width; a word longer than the width is broken rather than cut off.
  GraphicPicture words = Draw(std::string(40, 'W').insert(20, " "), 30);
  GraphicPicture longWord = Draw(std::string(60, 'W'), 30);
  EXPECT_GE(words.height, 2 * one - 2);
  EXPECT_GE(longWord.height, 3 * one - 3);
  ExpectWellFormed(longWord);

  // The starting height does not limit the picture.
  EXPECT_EQ(gt::Render("SALE\nSALE", kRibbonMm, 1, 30, "Arial", "", "center", "", true).height,
            Draw("SALE\nSALE", 30).height);

  // One line only: an overlong text ends in an ellipsis within the width, line breaks included.
  GraphicPicture single =
      Draw(std::string(60, 'W') + "\nSALE", 30, "", "Arial", "left", /*multiline=*/false);
  EXPECT_EQ(single.height, Draw("SALE", 30, "", "Arial", "left", false).height);
  auto [left, right] = InkColumns(single);
  EXPECT_GE(left, 0);
  EXPECT_LT(right, single.width);
}

TEST(GraphicTextTest, StylesChangeTheInk) {
  const std::string text = "Total 1234";
  GraphicPicture regular = Draw(text, 24);
  GraphicPicture bold = Draw(text, 24, "bold");
  GraphicPicture underline = Draw(text, 24, "underline");
  GraphicPicture strikeout = Draw(text, 24, "strikeout");
  GraphicPicture italic = Draw(text, 24, "italic");
  EXPECT_GT(bold.BlackCount(), regular.BlackCount() * 11 / 10);
  EXPECT_GT(underline.BlackCount(), regular.BlackCount());
  EXPECT_GT(strikeout.BlackCount(), regular.BlackCount());
  EXPECT_NE(italic.pixels, regular.pixels);
  for (const GraphicPicture* p : {&bold, &underline, &strikeout, &italic}) ExpectWellFormed(*p);

  // Style words in any case and spacing; unknown words are ignored.
  EXPECT_EQ(Draw(text, 24, "Bold  UNDERLINE").pixels, Draw(text, 24, "underline bold").pixels);
  EXPECT_NE(Draw(text, 24, "Bold  UNDERLINE").pixels, bold.pixels);
  EXPECT_EQ(Draw(text, 24, "heavy").pixels, regular.pixels);
  EXPECT_EQ(Draw(text, 24, "boldest italics").pixels, regular.pixels);
}

TEST(GraphicTextTest, AmpersandIsAnOrdinaryCharacter) {
  // Taken as a mnemonic prefix, '&' would vanish and leave the ink no wider than "AB".
  GraphicPicture ab = Draw("AB", 30, "", "Arial", "left");
  GraphicPicture amp = Draw("A&B", 30, "", "Arial", "left");
  EXPECT_GT(InkColumns(amp).second, InkColumns(ab).second + gt::FontPixelHeight(30) / 4);
  EXPECT_GT(amp.BlackCount(), ab.BlackCount());
  EXPECT_GT(Draw("&", 30).BlackCount(), 0u);
  // Markup is not interpreted either.
  EXPECT_GT(InkColumns(Draw("<b>A</b>", 30, "", "Arial", "left")).second,
            InkColumns(Draw("A", 30, "", "Arial", "left")).second + gt::FontPixelHeight(30));
}

TEST(GraphicTextTest, AlignmentMovesTheInk) {
  auto middle = [](const std::string& align) {
    auto [l, r] = InkColumns(Draw("SALE", 20, "", "Arial", align));
    return (l + r) / 2;
  };
  const int half = kRibbonMm * 8 / 2;
  EXPECT_LT(middle("left"), half / 2);
  EXPECT_NEAR(middle("Center"), half, 8);
  EXPECT_NEAR(middle("taCENTER"), half, 8);
  EXPECT_GT(middle("RIGHT"), half * 3 / 2);
  EXPECT_LT(middle(""), half / 2);
}

TEST(GraphicTextTest, FontNamesFallBackToADefault) {
  for (const char* font : {"", "Times New Roman", "Courier New", "No Such Font 12345"}) {
    SCOPED_TRACE(font);
    GraphicPicture p = Draw("Графический текст", 20, "", font);
    ExpectWellFormed(p);
    EXPECT_GT(p.BlackCount(), 100u);
  }
  EXPECT_NE(Draw("Text", 20, "", "Courier New").pixels, Draw("Text", 20, "", "Arial").pixels);
}

TEST(GraphicTextTest, EmptyTextGivesNoRows) {
  GraphicPicture p = Draw("");
  EXPECT_EQ(p.width, kRibbonMm * 8);
  EXPECT_EQ(p.height, 0);
  EXPECT_TRUE(p.pixels.empty());
}

TEST(GraphicTextTest, RowsAreCutToWholeBytesOfPixels) {
  // 8 dots a millimetre keep every width a multiple of 8; the rows are never padded.
  GraphicPicture p = Draw("x", 20, "", "Arial", "center", true, 1);
  EXPECT_EQ(p.width, 8);
  EXPECT_EQ(p.pixels.size(), static_cast<std::size_t>(8 * p.height));
}

TEST(GraphicTextTest, UntrustedRequestsFailCleanly) {
  auto code = [](auto&& render) {
    try {
      render();
    } catch (const vantorel::EquException& e) {
      return e.Code();
    }
    return 0;
  };
  const int input = vantorel::errors::kInputParameters;
  EXPECT_EQ(code([] { Draw("x", 20, "", "Arial", "center", true, 0); }), input);
  EXPECT_EQ(code([] { Draw("x", 20, "", "Arial", "center", true, -68); }), input);
  EXPECT_EQ(code([] { Draw("x", 20, "", "Arial", "center", true, 1'000'000); }), input);
  EXPECT_EQ(code([] { Draw("x", 2'000'000'000); }), input);
  EXPECT_EQ(code([] { Draw(std::string(gt::kMaxTextBytes + 1, 'x')); }), input);
  EXPECT_EQ(code([] { Draw(std::string(3000, '\n') + "x", 40); }), input);
  EXPECT_EQ(code([] {
              gt::Render("x", kRibbonMm, 2'000'000'000, 20, "", "", "", "", true);
              gt::Render("x", kRibbonMm, -2'000'000'000, -2'000'000'000, "", "", "", "", true);
            }),
            0);

  // Broken UTF-8, NUL bytes and control characters still render.
  GraphicPicture broken = Draw(std::string("A\xFF\xC3(B\0C\x01\tD", 11), 20);
  ExpectWellFormed(broken);
  EXPECT_GT(broken.BlackCount(), 0u);
}

TEST(GraphicTextTest, RendersFromSeveralThreadsAtOnce) {
  const GraphicPicture expected = Draw("Итого\nSALE & more", 24, "bold italic");
  std::vector<std::future<std::vector<std::uint8_t>>> runs;
  for (int i = 0; i < 4; ++i)
    runs.push_back(std::async(std::launch::async, [] {
      std::vector<std::uint8_t> last;
      for (int k = 0; k < 5; ++k) last = Draw("Итого\nSALE & more", 24, "bold italic").pixels;
      return last;
    }));
  for (auto& run : runs) EXPECT_EQ(run.get(), expected.pixels);
}

// ---- Reference picture ----

#ifdef _WIN32
constexpr const char* kReferenceName = "reference-windows.pbm";
#else
constexpr const char* kReferenceName = "reference-linux.pbm";
#endif

// From the build, not __FILE__: a compiler cache may write that relative to its base folder.
fs::path DataFolder() {
  std::string data = VANTOREL_TEST_DATA_DIR;
#ifdef _WIN32
  if (!data.empty() && data[0] == '/') data = "Z:" + data;  // built on Linux, run under Wine
#endif
  return fs::path(data) / "graphic_text";
}

void WritePbm(const GraphicPicture& p, const fs::path& path) {
  std::ofstream out(path, std::ios::binary);
  out << "P4\n" << p.width << ' ' << p.height << '\n';
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; x += 8) {
      unsigned char bits = 0;
      for (int b = 0; b < 8 && x + b < p.width; ++b)
        if (p.pixels[static_cast<std::size_t>(y) * p.width + x + b]) bits |= 0x80 >> b;
      out.put(static_cast<char>(bits));
    }
  ASSERT_TRUE(out.good()) << path;
}

GraphicPicture ReadPbm(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  GraphicPicture p;
  in >> magic >> p.width >> p.height;
  in.get();
  if (magic != "P4" || !in || p.width <= 0 || p.height <= 0) return {};
  p.pixels.resize(static_cast<std::size_t>(p.width) * p.height);
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; x += 8) {
      int bits = in.get();
      for (int b = 0; b < 8 && x + b < p.width; ++b)
        p.pixels[static_cast<std::size_t>(y) * p.width + x + b] = (bits >> (7 - b)) & 1;
    }
  if (!in) return {};
  return p;
}

// Overlap of the inked 8 × 8 blocks: tolerant of a pixel's shift between font versions, not of
// a different font, size or layout.
double BlockOverlap(const GraphicPicture& a, const GraphicPicture& b) {
  auto inked = [](const GraphicPicture& p, int bx, int by) {
    for (int y = by * 8; y < std::min(p.height, by * 8 + 8); ++y)
      for (int x = bx * 8; x < std::min(p.width, bx * 8 + 8); ++x)
        if (p.pixels[static_cast<std::size_t>(y) * p.width + x]) return true;
    return false;
  };
  int both = 0, either = 0;
  for (int by = 0; by * 8 < std::max(a.height, b.height); ++by)
    for (int bx = 0; bx * 8 < a.width; ++bx) {
      bool ia = inked(a, bx, by), ib = inked(b, bx, by);
      both += ia && ib;
      either += ia || ib;
    }
  return either ? double(both) / either : 1.0;
}

TEST(GraphicTextTest, MatchesTheReferencePicture) {
  GraphicPicture actual =
      Draw("Графический текст\nGraphic text & Co. 1234567890", 24, "bold", "Arial");
  const fs::path reference = DataFolder() / kReferenceName;
  if (std::getenv("VANTOREL_REGENERATE_REFERENCES")) {
    fs::create_directories(reference.parent_path());
    WritePbm(actual, reference);
    GTEST_SKIP() << "written " << reference.string();
  }
  GraphicPicture expected = ReadPbm(reference);
  ASSERT_GT(expected.width, 0) << "no reference picture " << reference.string()
                               << "; run with VANTOREL_REGENERATE_REFERENCES=1 to write it";
  EXPECT_EQ(actual.width, expected.width);
  EXPECT_NEAR(actual.height, expected.height, expected.height * 0.10);
  EXPECT_NEAR(double(actual.BlackCount()), double(expected.BlackCount()),
              expected.BlackCount() * 0.15);
  EXPECT_GE(BlockOverlap(actual, expected), 0.75);
}

// ---- PNG ----

std::uint32_t BigEndian(const std::string& s, std::size_t at) {
  return std::uint32_t(std::uint8_t(s[at])) << 24 | std::uint32_t(std::uint8_t(s[at + 1])) << 16 |
         std::uint32_t(std::uint8_t(s[at + 2])) << 8 | std::uint8_t(s[at + 3]);
}

TEST(GraphicTextTest, PngHoldsThePicture) {
  GraphicPicture p = Draw("SALE & more", 20, "underline");
  std::string png = gt::EncodePng(p);
  ASSERT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));

  // Walk the chunks with zlib's checks: every CRC right, IDAT a valid zlib stream.
  std::string idat;
  std::uint32_t width = 0, height = 0;
  std::size_t at = 8;
  bool ended = false;
  while (at + 12 <= png.size() && !ended) {
    std::uint32_t length = BigEndian(png, at);
    std::string type = png.substr(at + 4, 4);
    ASSERT_LE(at + 12 + length, png.size());
    auto body = reinterpret_cast<const Bytef*>(png.data() + at + 4);
    EXPECT_EQ(crc32(0, body, 4 + length), BigEndian(png, at + 8 + length)) << type;
    if (type == "IHDR") {
      width = BigEndian(png, at + 8);
      height = BigEndian(png, at + 12);
      EXPECT_EQ(png.substr(at + 16, 5), std::string("\x01\x00\x00\x00\x00", 5));
    }
    if (type == "IDAT") idat += png.substr(at + 8, length);
    ended = type == "IEND";
    at += 12 + length;
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(at, png.size());
  ASSERT_EQ(width, std::uint32_t(p.width));
  ASSERT_EQ(height, std::uint32_t(p.height));

  const std::size_t rowBytes = (width + 7) / 8 + 1;
  std::vector<Bytef> raw(rowBytes * height + 1);
  uLongf rawSize = raw.size();
  ASSERT_EQ(
      uncompress(raw.data(), &rawSize, reinterpret_cast<const Bytef*>(idat.data()), idat.size()),
      Z_OK);
  ASSERT_EQ(rawSize, rowBytes * height);
  std::size_t mismatches = 0;
  for (std::uint32_t y = 0; y < height; ++y) {
    EXPECT_EQ(raw[y * rowBytes], 0);  // no filter
    for (std::uint32_t x = 0; x < width; ++x) {
      bool white = (raw[y * rowBytes + 1 + x / 8] >> (7 - x % 8)) & 1;
      mismatches += white == bool(p.pixels[y * width + x]);
    }
  }
  EXPECT_EQ(mismatches, 0u);

  // A picture without rows still makes a valid file; a file that cannot be written is an error.
  EXPECT_EQ(BigEndian(gt::EncodePng(Draw("")), 20), 1u);
  EXPECT_THROW(gt::WritePng(p, (fs::temp_directory_path() / "no-such-dir" / "x.png").string()),
               std::runtime_error);
}

// ---- Pure rules ----

TEST(GraphicTextTagTest, FindsTheFirstTagPair) {
  struct Case {
    const char* line;
    int group;  // 0: not a tag pair
    const char* text;
  };
  const Case cases[] = {
      {"Total [gt2]SALE[/gt2] today", 2, "SALE"},
      {"[GT1]x[/gt3]", 1, "x"},
      {"[gt6]x[/gt6]", 0, ""},
      {"[gt1] no closing tag", 0, ""},
      {"[gt0]x[/gt0]", 0, ""},
      {"[gt1]a[//gt1]", 1, "a"},
      {"[gt5]a[///GT2]", 5, "a"},
      {"[/gt1]before[gt3]", 3, ""},
      {"[gt1][/gt1]", 1, ""},
      {"[gt4]Итого: 5 ₽[/gt4]", 4, "Итого: 5 ₽"},
      {"[gt2]a[gt3]b[/gt9][/gt1]c[/gt2]", 2, "a[gt3]b[/gt9]"},
      {"[[gt1]]x[/[/gt1]", 1, "]x[/"},
      {"[gt1 ]x[/gt1]", 0, ""},
      {"[gt1]x[gt1/]", 0, ""},
      {"[gt1]x[/gt1", 0, ""},
      {"", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    auto tag = vantorel::FindGraphicTextTag(c.line);
    if (c.group == 0) {
      EXPECT_FALSE(tag.has_value());
      continue;
    }
    ASSERT_TRUE(tag.has_value());
    EXPECT_EQ(tag->group, c.group);
    EXPECT_EQ(tag->text, c.text);
  }
}

TEST(GraphicTextRulesTest, StyleWordsOfASettingsGroup) {
  using vantorel::GraphicTextStyleWords;
  EXPECT_EQ(GraphicTextStyleWords(false, false, false, false), "");
  EXPECT_EQ(GraphicTextStyleWords(true, true, true, true), "bold italic strikeout underline");
  EXPECT_EQ(GraphicTextStyleWords(true, false, false, false), "bold ");
  EXPECT_EQ(GraphicTextStyleWords(false, true, true, false), "italic strikeout ");
  EXPECT_EQ(GraphicTextStyleWords(false, false, false, true), "underline");
  // What the settings produce, the renderer reads back.
  for (int bits = 0; bits < 16; ++bits) {
    bool b = bits & 1, i = bits & 2, s = bits & 4, u = bits & 8;
    EXPECT_EQ(gt::ParseFontStyle(GraphicTextStyleWords(b, i, s, u)), (gt::FontStyle{b, i, u, s}));
  }
}

TEST(GraphicTextRulesTest, SizesAndLayoutFlags) {
  // Points to pixels at 203 dpi, rounded; the print height in millimetres.
  EXPECT_EQ(gt::FontPixelHeight(40), 113);
  EXPECT_EQ(gt::FontPixelHeight(8), 23);
  EXPECT_EQ(gt::FontPixelHeight(12), 34);
  EXPECT_EQ(gt::PrintHeightMm(40), 15);
  EXPECT_EQ(gt::PrintHeightMm(20), 8);
  EXPECT_EQ(gt::PrintHeightMm(8), 3);
  EXPECT_EQ(gt::PrintHeightMm(0), 0);

  EXPECT_EQ(gt::LayoutFlags("center", "center", true), 43024u + 1 + 4);
  EXPECT_EQ(gt::LayoutFlags("Right", "Bottom", false), 43040u + 2 + 8);
  EXPECT_EQ(gt::LayoutFlags("rightcenter", "", true), 43024u + 1);
  EXPECT_EQ(gt::LayoutFlags("left", "top", true), 43024u);
}

}  // namespace
