#include "support/zip_reader.h"

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
using testing::ZipEntry;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The target is a folder inside the sandbox, so that a write beside it would show too.
struct Target {
  Sandbox box;
  fs::path dir = box.path() / "out";
  Target() { fs::create_directories(dir); }
  std::string str() const {
    std::u8string s = dir.u8string();
    return std::string(s.begin(), s.end());
  }
};

TEST(ZipReader, ExtractsStoredAndDeflatedFilesAndFolders) {
  std::string big(200000, 'x');
  for (std::size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>('a' + i % 26);
  std::string zip = MakeZip({{"guide.md", "# Справка\n"},
                             {"img/", ""},
                             {"img/deep/big.txt", big, true},
                             {"empty.txt", "", true},
                             {"Файл.css", "body{}"}});
  Target t;
  zip::ExtractAll(zip, t.str());
  EXPECT_EQ(ReadFile(t.dir / "guide.md"), "# Справка\n");
  EXPECT_EQ(ReadFile(t.dir / "img" / "deep" / "big.txt"), big);
  EXPECT_EQ(ReadFile(t.dir / "empty.txt"), "");
  EXPECT_EQ(ReadFile(t.dir / fs::path(u8"Файл.css")), "body{}");
  EXPECT_EQ(t.box.Contents(),
            (std::vector<std::string>{"out", "out/empty.txt", "out/guide.md", "out/img",
                                      "out/img/deep", "out/img/deep/big.txt", "out/Файл.css"}));
}

TEST(ZipReader, AnEmptyArchiveExtractsNothing) {
  std::string zip = MakeZip({});
  ASSERT_EQ(zip.size(), 22u);
  Target t;
  zip::ExtractAll(zip, t.str());
  EXPECT_EQ(t.box.Contents(), std::vector<std::string>{"out"});
}

// A harmless entry comes first: nothing may be written before every name has been checked.
TEST(ZipReader, HostileNamesRejectTheWholeArchiveBeforeAnyWrite) {
  const char* names[] = {"../x", "a/../../x", "..", "/abs", "/etc/x", "C:\\x", "C:x", "a\\..\\x",
                         "\\\\srv\\share\\x", "./x", "a//b", "x.", "x ", "x.md:stream", "nul",
                         "AUX.txt", "com1", "a/LPT9/b", "", "a\tb", "bad\xC0\xAFutf8",
                         // Superscript one, two and three name ports as well.
                         "COM\xC2\xB9", "com\xC2\xB2.md", "LPT\xC2\xB3", "a/lpt\xC2\xB9.txt/b"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    std::string zip = MakeZip({{"fine.md", "ok"}, {name, "evil"}});
    Target t;
    try {
      zip::ExtractAll(zip, t.str());
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("ZIP archive"), std::string::npos) << e.what();
    }
    EXPECT_EQ(t.box.Contents(), std::vector<std::string>{"out"});
  }
}

TEST(ZipReader, SafeEntryPathKeepsOrdinaryNames) {
  EXPECT_EQ(zip::SafeEntryPath("guide.md"), "guide.md");
  EXPECT_EQ(zip::SafeEntryPath("img/a.b.png"), "img/a.b.png");
  EXPECT_EQ(zip::SafeEntryPath("img/"), "img");
  EXPECT_EQ(zip::SafeEntryPath("..a/b..c"), "..a/b..c");
  EXPECT_EQ(zip::SafeEntryPath("console.md"), "console.md");
  // Other superscripts and longer names are no ports.
  EXPECT_EQ(zip::SafeEntryPath("COM\xC2\xB9\xC2\xB2"), "COM\xC2\xB9\xC2\xB2");
  EXPECT_EQ(zip::SafeEntryPath("LPT\xE2\x81\xB4.md"), "LPT\xE2\x81\xB4.md");
  EXPECT_EQ(zip::SafeEntryPath("COM10"), "COM10");
}

// A declared size over the cap is refused before anything is inflated.
TEST(ZipReader, DeclaredSizesOverTheCapAreRefused) {
  Target t;
  ZipEntry huge{"huge.bin", "small"};
  huge.declaredSize = 100ll << 20;
  huge.method = 0;
  EXPECT_THROW(zip::ExtractAll(MakeZip({huge}), t.str()), std::runtime_error);
  // Many entries that together pass the cap.
  std::vector<ZipEntry> many;
  for (int i = 0; i < 5; ++i) many.push_back({"part" + std::to_string(i), std::string(300, 'z')});
  EXPECT_THROW(zip::ExtractAll(MakeZip(many), t.str(), {1000, 100}), std::runtime_error);
  EXPECT_THROW(zip::ExtractAll(MakeZip(many), t.str(), {1 << 20, 4}), std::runtime_error);
  EXPECT_EQ(t.box.Contents(), std::vector<std::string>{"out"});
}

// A bomb that lies about its size: 32 MiB of zeros declared as 1 KiB. Inflation stops at the
// declared size, so the disk never sees more than that.
TEST(ZipReader, ABombStopsAtItsDeclaredSize) {
  ZipEntry bomb{"bomb.bin", std::string(32u << 20, '\0'), true};
  bomb.declaredSize = 1024;
  std::string zip = MakeZip({bomb});
  ASSERT_LT(zip.size(), 64u * 1024);
  Target t;
  try {
    zip::ExtractAll(zip, t.str());
    ADD_FAILURE() << "accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("beyond its declared size"), std::string::npos)
        << e.what();
  }
  std::error_code ec;
  EXPECT_LE(fs::file_size(t.dir / "bomb.bin", ec), 1024u);
}

TEST(ZipReader, DamagedOrUnsupportedArchivesFailCleanly) {
  std::string good = MakeZip({{"a.md", std::string(5000, 'a'), true}});
  ZipEntry badCrc{"a.md", "text"};
  badCrc.crc = 1;
  ZipEntry encrypted{"a.md", "text"};
  encrypted.flags = 1;
  ZipEntry bzip2{"a.md", "text"};
  bzip2.method = 12;
  ZipEntry link{"a.md", "/etc/passwd"};
  link.unixMode = 0120777;
  ZipEntry shortEntry{"a.md", "text"};
  shortEntry.declaredSize = 10;
  ZipEntry folderWithData{"d/", "data"};
  std::string corrupt = good;
  corrupt[40] ^= 0x55;  // inside the deflated data
  struct Case {
    const char* what;
    std::string zip;
  } cases[] = {
      {"not an archive", "just some text that is long enough to be read as one"},
      {"too short", "PK"},
      {"cut in the middle", good.substr(0, good.size() / 2)},
      {"end record only, pointing nowhere", good.substr(good.size() - 22)},
      {"corrupt deflate data", corrupt},
      {"wrong checksum", MakeZip({badCrc})},
      {"encrypted", MakeZip({encrypted})},
      {"unknown method", MakeZip({bzip2})},
      {"symbolic link", MakeZip({link})},
      {"shorter than declared", MakeZip({shortEntry})},
      {"folder entry with data", MakeZip({folderWithData})},
      {"file and folder of one name", MakeZip({{"x", "1"}, {"x/y", "2"}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Target t;
    EXPECT_THROW(zip::ExtractAll(c.zip, t.str()), std::runtime_error);
  }
}

}  // namespace
}  // namespace vantorel
