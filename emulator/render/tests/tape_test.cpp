// The tape as a person sees it: the terminal picture, the HTML page, and that page in a real
// headless browser, where the receipt's QR code and a printed barcode must read back from the
// screenshot. Also the `kkt-host vreg` commands around it, on a register made here.
#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "../../tests/vreg_fixture.h"
#include "vregister/tape_render.h"

namespace vantorel::emulator::testing {
namespace {

namespace fs = std::filesystem;

TapeItem Text(std::string s, bool doubleSize = false, int font = 0) {
  TapeItem t;
  t.kind = TapeItem::Kind::kText;
  t.text = std::move(s);
  t.doubleWidth = t.doubleHeight = doubleSize;
  t.font = font;
  t.wrap = Wrap::kWords;
  return t;
}
TapeItem Mark(TapeItem::Kind kind, std::string title = {}) {
  TapeItem t;
  t.kind = kind;
  t.text = std::move(title);
  return t;
}
TapeItem Qr(std::string data) {
  TapeItem t;
  t.kind = TapeItem::Kind::kBarcode;
  t.barcode = BarcodeKind::kQr;
  t.text = std::move(data);
  t.alignment = Alignment::kCenter;
  t.scale = 4;
  return t;
}

std::vector<TapeItem> SmallReceipt() {
  TapeItem cut = Mark(TapeItem::Kind::kCut);
  TapeItem picture = Mark(TapeItem::Kind::kPicture);
  picture.width = 16;
  picture.height = 4;
  picture.pixels.assign(64, 1);
  return {Mark(TapeItem::Kind::kDocumentBegin, "КАССОВЫЙ ЧЕК"),
          Text("ООО <Образец> & сын"),
          Text("ИТОГ =1.00", true),
          Text("мелко", false, 2),
          picture,
          Qr("t=20261210T1000&s=1.00&fn=9960440300000001&i=2&fp=1234567890&n=1"),
          Mark(TapeItem::Kind::kDocumentEnd),
          cut,
          Mark(TapeItem::Kind::kDocumentBegin, "НЕФИСКАЛЬНЫЙ ДОКУМЕНТ"),
          Text("оборвано")};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

TEST(TapeText, PaperNotesDoubleWidthCutsAndCodes) {
  TapeView view;
  view.lineLength = 40;
  const auto blocks = Lines(RenderTapeText(SmallReceipt(), view, true));
  ASSERT_FALSE(blocks.empty());
  // Every line of paper is exactly the paper's width between its rules.
  for (const auto& l : blocks) {
    const auto end = l.find("│", 1) == std::string::npos ? l.find("┤") : l.rfind("│");
    ASSERT_NE(end, std::string::npos) << l;
    EXPECT_EQ(CodePoints(l.substr(0, end)), 41u) << l;
  }
  EXPECT_NE(blocks.front().find("◀ КАССОВЫЙ ЧЕК"), std::string::npos) << blocks.front();
  const std::string all = RenderTapeText(SmallReceipt(), view, true);
  EXPECT_NE(all.find("И Т О Г   = 1 . 0 0"), std::string::npos);
  EXPECT_NE(all.find("◀ end of document"), std::string::npos);
  EXPECT_NE(all.find("✂ cut"), std::string::npos);
  EXPECT_NE(all.find("◀ (not finished)"), std::string::npos) << all;
  if (BarcodesDrawable()) {
    EXPECT_NE(all.find("▀"), std::string::npos);
    EXPECT_EQ(all.find("[QR"), std::string::npos);
  }
  // Without block characters: plain ASCII, the code as its data.
  const std::string plain = RenderTapeText(SmallReceipt(), view, false);
  EXPECT_NE(plain.find("[QR t=20261210T1000"), std::string::npos);
  EXPECT_NE(plain.find("<- КАССОВЫЙ ЧЕК"), std::string::npos);
  for (unsigned char c : std::string(plain)) {
    if (c >= 0x80) continue;  // the register's own Cyrillic text
    EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f));
  }
}

TEST(TapePictures, PngFilesHoldThePixels) {
  // A 10 x 3 picture: a diagonal of ink, so a row or bit order mistake shows.
  TapeItem picture = Mark(TapeItem::Kind::kPicture);
  picture.width = 10;
  picture.height = 3;
  picture.pixels.assign(30, 0);
  for (int y = 0; y < 3; ++y) picture.pixels[static_cast<size_t>(y * 10 + y * 4)] = 1;
  const std::string png = PicturePng(picture);
  ASSERT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  EXPECT_EQ(png.substr(16, 8), std::string("\0\0\0\x0a\0\0\0\x03", 8));
  // The image data: a filter byte and two bytes a row, 0 bits for ink.
  const size_t idat = png.find("IDAT");
  ASSERT_NE(idat, std::string::npos);
  const auto length = (std::uint32_t(std::uint8_t(png[idat - 4])) << 24) |
                      (std::uint32_t(std::uint8_t(png[idat - 3])) << 16) |
                      (std::uint32_t(std::uint8_t(png[idat - 2])) << 8) | std::uint8_t(png[idat - 1]);
  std::array<unsigned char, 9> raw{};
  uLongf rawSize = raw.size();
  ASSERT_EQ(uncompress(raw.data(), &rawSize, reinterpret_cast<const Bytef*>(png.data() + idat + 4),
                       length),
            Z_OK);
  EXPECT_EQ(rawSize, 9u);
  const std::array<unsigned char, 9> expected = {0, 0x7F, 0xFF, 0, 0xF7, 0xFF, 0, 0xFF, 0x7F};
  EXPECT_EQ(raw, expected);

  // Every picture of a tape becomes a file, in tape order; a tape without pictures writes none.
  const fs::path folder = fs::temp_directory_path() / "vantorel-tape-pictures";
  fs::remove_all(folder);
  const auto files = WritePicturesPng(SmallReceipt(), folder);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename(), "picture-1.png");
  EXPECT_GT(fs::file_size(files[0]), 8u);
  EXPECT_TRUE(WritePicturesPng({Text("no pictures")}, folder / "none").empty());
  EXPECT_THROW(PicturePng(Text("not a picture")), std::invalid_argument);
  fs::remove_all(folder);
}

TEST(TapeHtml, DocumentsPiecesCodesPicturesAndEscaping) {
  TapeView view;
  view.title = "Лента <тест>";
  view.facts = {{"file", "a&b.json"}};
  const std::string html = RenderTapeHtml(SmallReceipt(), view);
  EXPECT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(html.find("<title>Лента &lt;тест&gt;</title>"), std::string::npos);
  EXPECT_NE(html.find("a&amp;b.json"), std::string::npos);
  EXPECT_NE(html.find("ООО &lt;Образец&gt; &amp; сын"), std::string::npos);
  EXPECT_EQ(html.find("<Образец>"), std::string::npos);
  // Two documents on two pieces of paper; the second was never finished.
  EXPECT_NE(html.find("<section class=\"doc\" data-title=\"КАССОВЫЙ ЧЕК\""), std::string::npos);
  EXPECT_NE(html.find("<section class=\"doc open\" data-title=\"НЕФИСКАЛЬНЫЙ ДОКУМЕНТ\""),
            std::string::npos);
  size_t papers = 0;
  for (size_t at = 0; (at = html.find("<div class=\"paper\">", at)) != std::string::npos; ++at)
    ++papers;
  EXPECT_EQ(papers, 2u);
  EXPECT_NE(html.find("class=\"line dw dh\""), std::string::npos);
  EXPECT_NE(html.find("font 2"), std::string::npos);
  EXPECT_NE(html.find("src=\"data:image/bmp;base64,Qk"), std::string::npos);
  if (BarcodesDrawable()) {
    EXPECT_NE(html.find("<svg"), std::string::npos);
  }
  // Opening and closing tags balance.
  for (const char* tag : {"section", "div"}) {
    size_t open = 0, close = 0;
    for (size_t at = 0; (at = html.find(std::string("<") + tag, at)) != std::string::npos; ++at)
      ++open;
    for (size_t at = 0; (at = html.find(std::string("</") + tag, at)) != std::string::npos; ++at)
      ++close;
    EXPECT_EQ(open, close) << tag;
  }
}

// Runs a command line; its exit status and what it printed (stdout and stderr together).
int Shell(const std::string& command, std::string* output = nullptr) {
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return -1;
  std::array<char, 4096> buf{};
  std::string out;
  for (size_t n; (n = std::fread(buf.data(), 1, buf.size(), p)) > 0;) out.append(buf.data(), n);
  const int status = ::pclose(p);
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

class VregCommand : public VregTest {
 protected:
  std::string Host(const std::string& args) { return Quote(KKTHOST_FILE) + " " + args; }

  // A day's paper: a receipt with its QR code, then a text document with an EAN-13 barcode.
  std::string SellAndPrint() {
    Reg r;
    EXPECT_EQ(r.Connect(), 0);
    EXPECT_EQ(r.OpenShift(), 0);
    EXPECT_EQ(r.OpenReceipt(), 0);
    EXPECT_EQ(r.Item("Молоко 3,2% 1 л", 89.90, 2, 179.80), 0);
    EXPECT_EQ(r.Pay("LIBFPTR_PT_CASH", 200), 0);
    EXPECT_EQ(r.Call("closeReceipt"), 0);
    EXPECT_EQ(r.FnQuery("LIBFPTR_FNDT_LAST_RECEIPT"), 0);
    const std::string sign = r.Text("LIBFPTR_PARAM_FISCAL_SIGN");
    EXPECT_EQ(r.Call("beginNonfiscalDocument"), 0);
    r.Set("LIBFPTR_PARAM_TEXT", Value(std::string("Купон на скидку")));
    r.SetK("LIBFPTR_PARAM_ALIGNMENT", "LIBFPTR_ALIGNMENT_CENTER");
    EXPECT_EQ(r.Call("printText"), 0);
    r.SetK("LIBFPTR_PARAM_BARCODE_TYPE", "LIBFPTR_BT_EAN_13");
    r.Set("LIBFPTR_PARAM_BARCODE", Value(std::string("4601234567893")));
    r.Set("LIBFPTR_PARAM_BARCODE_PRINT_TEXT", Value(true));
    r.SetK("LIBFPTR_PARAM_ALIGNMENT", "LIBFPTR_ALIGNMENT_CENTER");
    r.Set("LIBFPTR_PARAM_SCALE", Value(std::int32_t{3}));
    r.Set("LIBFPTR_PARAM_HEIGHT", Value(std::int32_t{120}));
    EXPECT_EQ(r.Call("printBarcode"), 0);
    EXPECT_EQ(r.Call("endNonfiscalDocument"), 0);
    EXPECT_EQ(r.Call("close"), 0);
    return sign;
  }
};

TEST_F(VregCommand, StatusSetFaultResetAndTheirMistakes) {
  std::string out;
  // Nothing there yet: the message says how to get a register.
  EXPECT_EQ(Shell(Host("vreg"), &out), 1);
  EXPECT_NE(out.find("vreg --register usb reset"), std::string::npos) << out;

  // A register prepared before anything connects is made with that configuration.
  ASSERT_EQ(
      Shell(Host("vreg --register com-com7 set registerOnCreate=false deviceFfdVersion=105"), &out),
      0)
      << out;
  ASSERT_EQ(Shell(Host("vreg --register com-com7"), &out), 0) << out;
  EXPECT_NE(out.find("not registered"), std::string::npos) << out;
  EXPECT_NE(out.find("1.05 registered, 1.05 supported"), std::string::npos) << out;
  fs::remove(File("com-com7"));

  SellAndPrint();
  ASSERT_EQ(Shell(Host("vreg"), &out), 0) << out;
  EXPECT_NE(out.find("1 open since"), std::string::npos) << out;
  EXPECT_NE(out.find("sell 1 / 179.80"), std::string::npos) << out;
  EXPECT_NE(out.find("1.2 registered"), std::string::npos) << out;
  ASSERT_EQ(Shell(Host("--json vreg"), &out), 0) << out;
  EXPECT_NE(out.find("\"platform\":\"5\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"cash\":\"179.80\""), std::string::npos) << out;

  struct Case {
    std::string args;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {"vreg set coverOpen=true lineLength=42", 0, "saved"},
      {"vreg set coverOpen=maybe", 2, "not true or false"},
      {"vreg set noSuchKey=1", 2, "no setting 'noSuchKey'"},
      {"vreg set lineLength=5000", 2, "does not accept"},
      {"vreg set deviceSettings.66=0", 0, "saved"},
      {"vreg fault closeReceipt code=44 times=2", 0, "will fail with 44"},
      {"vreg fault closeReciept", 2, "not an operation"},
      {"vreg fault openShift code=x", 2, "whole number"},
      {"vreg tape --last 0", 2, "1 or more"},
      {"vreg --register ../etc tape", 1, "not a path"},
      {"vreg --register com-com9", 1, "no virtual register 'com-com9'"},
      {"vreg frobnicate", 2, "unknown command"},
      // Mistakes with the add-in itself come with what to do about them.
      {"call NoSuchMethod", 2, "kkt-host info lists the methods"},
      {"call GetDescription i:1 i:2", 2, "how many parameters each method takes"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Shell(Host(c.args), &out), c.status) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << c.args << "\n" << out;
  }
  ASSERT_EQ(Shell(Host("vreg"), &out), 0);
  EXPECT_NE(out.find("COVER OPEN"), std::string::npos) << out;
  EXPECT_NE(out.find("closeReceipt: 2 call(s) fail with 44"), std::string::npos) << out;
  EXPECT_NE(out.find("42 characters"), std::string::npos) << out;

  // A register connected afterwards meets that configuration.
  {
    Reg r;
    ASSERT_EQ(r.Connect(), 0);
    EXPECT_EQ(r.OpenReceipt(), errc::kCoverOpen);
    EXPECT_EQ(r.obj->device()->config().deviceSettings.at(66), "0");
    r.Call("close");
  }

  // Reset: a fresh register, its configuration kept on request but never its faults.
  ASSERT_EQ(Shell(Host("vreg reset --keep-config"), &out), 0) << out;
  ASSERT_EQ(Shell(Host("--json vreg"), &out), 0);
  EXPECT_NE(out.find("\"open\":false"), std::string::npos) << out;
  EXPECT_NE(out.find("\"faults\":[]"), std::string::npos) << out;
  EXPECT_NE(out.find("\"documents\":1,"), std::string::npos) << out;  // the registration only
  ASSERT_EQ(Shell(Host("vreg"), &out), 0);
  EXPECT_NE(out.find("COVER OPEN"), std::string::npos) << out;
  ASSERT_EQ(Shell(Host("vreg reset"), &out), 0);
  ASSERT_EQ(Shell(Host("vreg"), &out), 0);
  EXPECT_EQ(out.find("COVER OPEN"), std::string::npos) << out;

  // A damaged state file: what is wrong, and the way out.
  std::ofstream(File("usb")) << "{\"format\": 1, \"state\": {\"cash\": \"lots\"}}";
  EXPECT_EQ(Shell(Host("vreg"), &out), 1);
  EXPECT_NE(out.find("damaged"), std::string::npos) << out;
  EXPECT_NE(out.find("reset"), std::string::npos) << out;
}

TEST_F(VregCommand, TapePageReadsBackInARealBrowser) {
  const std::string sign = SellAndPrint();
  std::string out;
  ASSERT_EQ(Shell(Host("vreg tape"), &out), 0) << out;
  EXPECT_NE(out.find("КАССОВЫЙ ЧЕК"), std::string::npos) << out;
  EXPECT_NE(out.find("fp=" + sign), std::string::npos) << out;  // not a terminal: the QR's data

  const fs::path page = dir_ / "tape.html";
  ASSERT_EQ(Shell(Host("vreg tape --html " + Quote(page)), &out), 0) << out;
  ASSERT_TRUE(fs::exists(page));

  if (Shell("command -v chromium") != 0 || Shell("command -v zbarimg") != 0)
    FAIL() << "chromium and zbarimg are needed (scripts/setup.sh installs them)";
  const fs::path shot = dir_ / "tape.png";
  const std::string chromium =
      "timeout 120 chromium --headless --no-sandbox --disable-gpu --hide-scrollbars "
      "--no-first-run --user-data-dir=" +
      Quote(dir_ / "profile") + " --window-size=1000,2600 --screenshot=" + Quote(shot) +
      " file://" + page.string();
  ASSERT_EQ(Shell(chromium, &out), 0) << out;
  ASSERT_TRUE(fs::exists(shot)) << out;
  if (const char* keep = std::getenv("VANTOREL_TAPE_SCREENSHOT"))
    fs::copy_file(shot, keep, fs::copy_options::overwrite_existing);

  // The codes a phone or a scanner reads off the picture.
  ASSERT_EQ(Shell("zbarimg --quiet " + Quote(shot), &out), 0) << out;
  EXPECT_NE(out.find("QR-Code:t="), std::string::npos) << out;
  EXPECT_NE(out.find("&s=179.80&fn=9960440300000001&i=3&fp=" + sign + "&n=1"), std::string::npos)
      << out;
  EXPECT_NE(out.find("EAN-13:4601234567893"), std::string::npos) << out;

  // Tearing the paper off empties the tape and nothing else.
  ASSERT_EQ(Shell(Host("vreg tape --clear"), &out), 0) << out;
  ASSERT_EQ(Shell(Host("--json vreg"), &out), 0);
  EXPECT_NE(out.find("\"tape\":{\"items\":0,\"documents\":0}"), std::string::npos) << out;
  EXPECT_NE(out.find("\"documents\":3,"), std::string::npos) << out;
}

}  // namespace
}  // namespace vantorel::emulator::testing
