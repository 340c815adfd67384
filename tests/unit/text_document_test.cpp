// Text documents on the virtual register: documents between cut markers on platform 5, feeds
// and cuts on the older platform, barcodes and graphic text among the lines, line splitting.
#include <algorithm>

#include "driver_fixture.h"
#include "protocol/driver.h"
#include "support/encoding.h"
#include "support/equipment_errors.h"
#include "vregister/tape.h"

namespace vantorel::testing {
namespace {

using emulator::TapeItem;
using TextDocument = DriverOnVirtualRegister;

// Lines, an EAN-13 with a wrong check digit, a QR code, graphic text and two cut markers.
const char* kDocument = R"(<Document><Positions>
  <TextString Text="First line"/>
  <Barcode Type="ean13" Value="4601234567890"/>
  <Barcode Type="QR" Value="" ValueBase64="aHR0cHM6Ly9leGFtcGxlLm9yZw=="/>
  <TextString Text="[cut]"/>
  <TextString Text="Total [gt2]SALE[/gt2] today"/>
  <TextString Text="xx [cut] xx"/>
  <TextString Text="Last line"/>
</Positions></Document>)";

// The tape as a compact list: "begin", "end", "text:...", "barcode:...", "picture", "feed:N",
// "cut"/"partial cut".
std::vector<std::string> Paper(const std::vector<TapeItem>& items) {
  std::vector<std::string> out;
  for (const auto& i : items) switch (i.kind) {
      case TapeItem::Kind::kDocumentBegin:
        out.push_back("begin");
        break;
      case TapeItem::Kind::kDocumentEnd:
        out.push_back("end");
        break;
      case TapeItem::Kind::kText:
        out.push_back("text:" + i.text);
        break;
      case TapeItem::Kind::kBarcode:
        out.push_back("barcode:" + i.text);
        break;
      case TapeItem::Kind::kPicture:
        out.push_back("picture");
        break;
      case TapeItem::Kind::kFeed:
        out.push_back("feed:" + std::to_string(i.lines));
        break;
      case TapeItem::Kind::kCut:
        out.push_back(i.fullCut ? "cut" : "partial cut");
        break;
    }
  return out;
}

void OlderPlatform(emulator::DeviceState& s) { s.config.configurationVersion = "3.0.8"; }

TEST_F(TextDocument, Platform5PrintsOneDocumentPerSegment) {
  Connect();
  Register()->ClearTape();
  driver.PrintTextDocument(Xml(kDocument));
  const auto paper = Paper(Register()->TapeItems());
  const std::vector<std::string> expected = {
      "begin", "text:First line", "barcode:4601234567893", "barcode:https://example.org", "end",
      "begin", "picture",         "end",
      "begin", "text:Last line",  "end"};
  // The register may add its own cuts after documents; compare without them.
  std::vector<std::string> withoutCuts;
  std::copy_if(paper.begin(), paper.end(), std::back_inserter(withoutCuts),
               [](const std::string& s) { return s.find("cut") == std::string::npos; });
  EXPECT_EQ(withoutCuts, expected);

  // The picture is the group-2 text alone, at the paper's width (78 mm less margins).
  const auto items = Register()->TapeItems();
  const auto picture = std::find_if(items.begin(), items.end(), [](const TapeItem& i) {
    return i.kind == TapeItem::Kind::kPicture;
  });
  ASSERT_NE(picture, items.end());
  EXPECT_EQ(picture->width, 544);
  EXPECT_GT(picture->height, 0);
  EXPECT_EQ(picture->pixels.size() % 544, 0u);
}

TEST_F(TextDocument, OlderPlatformFeedsAndCutsAtMarkers) {
  for (const bool disableCut : {false, true}) {
    SCOPED_TRACE(disableCut);
    Connect(disableCut ? "<Parameter Name=\"DisableCut\" Value=\"true\"/>" : "");
    Register()->Edit(OlderPlatform);
    Connect(disableCut ? "<Parameter Name=\"DisableCut\" Value=\"true\"/>" : "");
    ASSERT_EQ(driver.Instance().PlatformVer, TPlatformVersion::pvOld);
    Register()->ClearTape();
    driver.PrintTextDocument(Xml(kDocument));
    const auto paper = Paper(Register()->TapeItems());
    const auto count = [&](const std::string& what) {
      return std::count(paper.begin(), paper.end(), what);
    };
    EXPECT_EQ(count("begin"), 0) << "no non-fiscal documents on the older platform";
    int fed = 0;
    for (const auto& i : Register()->TapeItems())
      if (i.kind == TapeItem::Kind::kFeed) fed += i.lines;
    EXPECT_EQ(fed, 18) << "six lines at two markers and at the end";
    EXPECT_EQ(count("partial cut"), disableCut ? 0 : 3);
    EXPECT_EQ(count("text:First line"), 1);
    EXPECT_EQ(count("picture"), 1);
  }
}

TEST_F(TextDocument, NoCutLeavesThePaperUncut) {
  Connect();
  Register()->Edit(OlderPlatform);
  Connect();
  Register()->ClearTape();
  driver.PrintTextDocument(
      Xml(R"(<Document NoCut="true"><Positions><TextString Text="a"/></Positions></Document>)"));
  EXPECT_EQ(Paper(Register()->TapeItems()), std::vector<std::string>{"text:a"});
}

TEST_F(TextDocument, BadDocumentsFailBeforePrinting) {
  Connect();
  Register()->ClearTape();
  for (const char* doc : {"<Document/>", "<Document><Lines/></Document>"}) {
    try {
      driver.PrintTextDocument(Xml(doc));
      ADD_FAILURE() << doc;
    } catch (const EquException& e) {
      EXPECT_EQ(e.Code(), 1004) << doc;
    }
  }
  EXPECT_TRUE(Register()->TapeItems().empty());
}

TEST_F(TextDocument, PlainLineWhenTheTagPairIsIncomplete) {
  Connect();
  Register()->ClearTape();
  driver.PrintTextDocument(Xml(R"(<Document><Positions>
      <TextString Text="[gt6]x[/gt6]"/><TextString Text="[gt1]open only"/>
      <TextString Text="[GT1]y[/gt3]"/></Positions></Document>)"));
  const auto paper = Paper(Register()->TapeItems());
  EXPECT_EQ(std::count(paper.begin(), paper.end(), "text:[gt6]x[/gt6]"), 1);
  EXPECT_EQ(std::count(paper.begin(), paper.end(), "text:[gt1]open only"), 1);
  EXPECT_EQ(std::count(paper.begin(), paper.end(), "picture"), 1);
}

TEST(SplitTextLines, BreaksAtSpacesAndKeepsHardBreaks) {
  const struct {
    std::string text;
    int width;
    std::vector<std::string> lines;
  } cases[] = {
      {"one two three", 7, {"one two", "three"}},
      {"abcdefghij", 4, {"abcd", "efgh", "ij"}},
      {"a\r\nb\rc\n\n  \nd", 10, {"a", "b", "c", "d"}},
      {"Итого к оплате", 8, {"Итого к", "оплате"}},
      {"", 10, {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> lines;
    SplitTextLines(c.text, c.width, lines);
    EXPECT_EQ(lines, c.lines) << c.text << " / " << c.width;
  }
}

}  // namespace
}  // namespace vantorel::testing
