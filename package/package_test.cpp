// The 1C package as the platform and the equipment library read it: every binary the manifest
// names is in the archive, is the right kind of file for its platform (PE32 for the 32-bit
// client, PE32+ for the 64-bit one, ELF x86-64 for Linux) and is the build's own file stripped of
// its debug information, nothing else is there, and INFO.XML says what the packaged add-in itself
// reports when loaded.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <pugixml.hpp>
#include <set>
#include <sstream>
#include <vector>

#include "component.h"
#include "support/zip_reader.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// What a binary is: "ELF64 x86-64 shared object", "PE32+ x86-64 DLL", "PE32 i386 DLL", or a
// description of what it is not.
std::string BinaryKind(const std::string& b) {
  auto u16 = [&](size_t at) {
    return at + 2 <= b.size()
               ? static_cast<unsigned>(static_cast<unsigned char>(b[at])) |
                     static_cast<unsigned>(static_cast<unsigned char>(b[at + 1])) << 8
               : 0u;
  };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  if (b.size() > 20 && b.compare(0, 4,
                                 "\x7f"
                                 "ELF") == 0) {
    // ELFCLASS64, little endian, a shared object for x86-64.
    if (b[4] != 2 || b[5] != 1) return "ELF, not 64-bit little endian";
    if (u16(16) != 3) return "ELF, not a shared object";
    return u16(18) == 62 ? "ELF64 x86-64 shared object" : "ELF for another machine";
  }
  if (b.size() > 64 && b.compare(0, 2, "MZ") == 0) {
    const size_t pe = u32(60);
    if (pe + 26 > b.size() || b.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
      return "MZ without PE";
    const unsigned machine = u16(pe + 4), characteristics = u16(pe + 22), magic = u16(pe + 24);
    if (!(characteristics & 0x2000)) return "PE, not a DLL";
    // The optional header's magic says PE32 or PE32+; the machine must go with it.
    if (magic == 0x20b && machine == 0x8664) return "PE32+ x86-64 DLL";
    if (magic == 0x10b && machine == 0x14c) return "PE32 i386 DLL";
    return "PE of magic " + std::to_string(magic) + " for machine " + std::to_string(machine);
  }
  return "not a binary";
}

// One binary the package may carry: where its build is, and what the file must be.
struct Expected {
  std::string os, arch, kind;
  fs::path build;       // the build folder: bin/<file> was built, stripped/<file> packaged
  std::string file;     // the file name in the build
  std::string objcopy;  // the objcopy for its object format
};

const std::vector<Expected>& Binaries() {
  static const std::vector<Expected> all = {
      {"Windows", "x86_64", "PE32+ x86-64 DLL", VANTOREL_WINDOWS_X64_BUILD, "vantorel.dll",
       VANTOREL_OBJCOPY_X64},
      {"Windows", "i386", "PE32 i386 DLL", VANTOREL_WINDOWS_X86_BUILD, "vantorel.dll",
       VANTOREL_OBJCOPY_X86},
      {"Linux", "x86_64", "ELF64 x86-64 shared object", VANTOREL_LINUX_BUILD,
       VANTOREL_ADDIN_FILE_NAME, VANTOREL_OBJCOPY_LINUX},
  };
  return all;
}

// A package for 1C holds nothing bigger: the platform unpacks it for every client.
constexpr std::uintmax_t kMaxBinary = 12u << 20;

class Package : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new fs::path(fs::temp_directory_path() / "vantorel-package-test");
    fs::remove_all(*dir);
    fs::create_directories(*dir);
    // The add-in's logs stay out of the user's data folder.
    const auto data = fs::temp_directory_path() / "vantorel-package-test-data";
    fs::create_directories(data);
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    const std::string zip = ReadFile(VANTOREL_PACKAGE_FILE);
    ASSERT_FALSE(zip.empty()) << "no package at " << VANTOREL_PACKAGE_FILE;
    // Our own package: its binaries carry debug information, more than the reader's default
    // allows a foreign archive.
    vantorel::zip::Limits limits;
    limits.maxTotalBytes = 512ull << 20;
    vantorel::zip::ExtractAll(zip, dir->string(), limits);
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(*dir, ec);
    delete dir;
  }
  static inline fs::path* dir = nullptr;
};

TEST_F(Package, ManifestNamesEveryBinaryAndNothingElseIsThere) {
  pugi::xml_document manifest;
  ASSERT_TRUE(manifest.load_file((*dir / "MANIFEST.XML").c_str()));
  const auto bundle = manifest.document_element();
  EXPECT_STREQ(bundle.name(), "bundle");
  EXPECT_STREQ(bundle.attribute("xmlns").value(), "http://v8.1c.ru/8.2/addin/bundle");

  std::set<std::string> expected{"MANIFEST.XML", "INFO.XML"};
  std::set<std::string> platforms;
  for (auto c : bundle.children()) {
    ASSERT_STREQ(c.name(), "component");
    const std::string path = c.attribute("path").value();
    const std::string platform =
        std::string(c.attribute("os").value()) + "/" + c.attribute("arch").value();
    EXPECT_STREQ(c.attribute("type").value(), "native");
    EXPECT_EQ(vantorel::zip::SafeEntryPath(path), path);
    EXPECT_EQ(path.find('/'), std::string::npos) << "binaries lie at the archive's top";
    EXPECT_TRUE(platforms.insert(platform).second) << "two components for " << platform;
    const Expected* want = nullptr;
    for (const auto& e : Binaries())
      if (e.os + "/" + e.arch == platform) want = &e;
    ASSERT_NE(want, nullptr) << "a component for " << platform << ", which we do not build";
    ASSERT_TRUE(fs::is_regular_file(*dir / path)) << path << " is named but not in the archive";
    EXPECT_EQ(BinaryKind(ReadFile(*dir / path)), want->kind) << path;
    EXPECT_LT(fs::file_size(*dir / path), kMaxBinary) << path;
    expected.insert(path);
  }
  std::set<std::string> found;
  for (const auto& e : fs::recursive_directory_iterator(*dir))
    if (e.is_regular_file()) found.insert(fs::relative(e.path(), *dir).generic_string());
  EXPECT_EQ(found, expected);

  // The Linux add-in is always there; a Windows DLL whenever its build made one, and all three
  // when the whole test command ran (it builds every preset before packing).
  const bool complete = std::getenv("VANTOREL_PACKAGE_COMPLETE") != nullptr;
  for (const auto& e : Binaries()) {
    const bool built = fs::exists(e.build / "bin" / e.file);
    if (built || complete || e.os == "Linux") {
      EXPECT_TRUE(platforms.count(e.os + "/" + e.arch))
          << e.os << " " << e.arch << " is not packaged (" << e.build / "bin" / e.file << ")";
    } else {
      std::cout << "note: no " << e.os << " " << e.arch << " build at " << e.build
                << ", not packaged\n";
    }
  }
}

// Stripping changes the bytes, so the packaged file is compared with the built one stripped
// again here, as the build strips it: the same code and data, linked to the same debug
// information beside the build, and no debug sections of its own.
TEST_F(Package, BinariesAreTheBuiltOnesStrippedWithTheirDebugInformationBeside) {
  pugi::xml_document manifest;
  ASSERT_TRUE(manifest.load_file((*dir / "MANIFEST.XML").c_str()));
  int checked = 0;
  for (const auto& e : Binaries()) {
    const auto c = manifest.document_element().find_child([&](pugi::xml_node n) {
      return e.os == n.attribute("os").value() && e.arch == n.attribute("arch").value();
    });
    if (!c) continue;  // the previous test says whether it should be there
    SCOPED_TRACE(e.os + " " + e.arch);
    const std::string packaged = ReadFile(*dir / c.attribute("path").value());
    const fs::path bin = e.build / "bin";
    ASSERT_TRUE(fs::exists(bin / e.file));
    ASSERT_TRUE(fs::exists(bin / (e.file + ".debug"))) << "no debug information beside the build";
    ASSERT_FALSE(e.objcopy.empty()) << "no objcopy for " << e.kind;
    const fs::path again = *dir / ("restripped-" + e.arch + "-" + e.file);
    const std::string command = "cd '" + bin.string() + "' && SOURCE_DATE_EPOCH=946684800 '" +
                                e.objcopy + "' --strip-all --add-gnu-debuglink='" + e.file +
                                ".debug' '" + e.file + "' '" + again.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::string expected = ReadFile(again);
    fs::remove(again);
    EXPECT_TRUE(packaged == expected) << "the packaged file is not " << bin / e.file << " stripped";
    EXPECT_EQ(packaged.find(".debug_info"), std::string::npos) << "debug sections were shipped";
    EXPECT_NE(packaged.find(e.file + ".debug"), std::string::npos) << "no debug link";
    ++checked;
  }
  EXPECT_GE(checked, 1);
}

TEST_F(Package, InfoSaysWhatThePackagedAddInReports) {
  pugi::xml_document manifest, info, description;
  ASSERT_TRUE(manifest.load_file((*dir / "MANIFEST.XML").c_str()));
  const auto so = manifest.document_element().find_child_by_attribute("component", "os", "Linux");
  ASSERT_TRUE(so);
  ASSERT_TRUE(info.load_file((*dir / "INFO.XML").c_str()));
  const auto c = info.child("drivers").child("component");
  ASSERT_TRUE(c);

  // The packaged file itself, loaded as the host loads it.
  kkthost::Host host(*dir / so.attribute("path").value());
  const auto classes = host.ClassNames();
  ASSERT_FALSE(classes.empty());
  auto driver = host.Create(classes.front());
  const auto rev = driver->Call("GetInterfaceRevision", {});
  const auto desc = driver->Call("GetDescription", {kkthost::Value::Empty()});
  ASSERT_TRUE(description.load_string(desc.params.at(0).text.c_str())) << desc.params.at(0).text;
  const auto d = description.child("DriverDescription");
  EXPECT_TRUE(driver->Close().empty());

  EXPECT_EQ(std::string(c.attribute("progid").value()), "AddIn." + classes.front());
  EXPECT_STREQ(c.attribute("type").value(), "native");
  EXPECT_EQ(c.attribute("interfaceRevision").as_int(), rev.result->integer);
  EXPECT_EQ(rev.result->integer, 4004);
  for (const auto& [ours, theirs] :
       std::map<std::string, std::string>{{"name", "Name"},
                                          {"description", "Description"},
                                          {"version", "DriverVersion"},
                                          {"equipmentType", "EquipmentType"},
                                          {"downloadURL", "DownloadURL"}}) {
    EXPECT_STREQ(c.attribute(ours.c_str()).value(), d.attribute(theirs.c_str()).value()) << ours;
    EXPECT_STRNE(c.attribute(ours.c_str()).value(), "") << ours;
  }
  EXPECT_STREQ(c.attribute("equipmentType").value(), "ККТ");
}

}  // namespace
