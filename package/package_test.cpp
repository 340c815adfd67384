// The 1C package as the platform and the equipment library read it: every binary the manifest
// names is in the archive and is the right kind of file for its platform, nothing else is there,
// and INFO.XML says what the packaged add-in itself reports when loaded.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <pugixml.hpp>
#include <set>
#include <sstream>

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

// What a binary is: "Linux/x86_64", "Windows/x86_64" (a DLL), or a description of what it is not.
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
    return u16(18) == 62 ? "Linux/x86_64" : "ELF for another machine";
  }
  if (b.size() > 64 && b.compare(0, 2, "MZ") == 0) {
    const size_t pe = u32(60);
    if (pe + 24 > b.size() || b.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
      return "MZ without PE";
    const unsigned machine = u16(pe + 4), characteristics = u16(pe + 22);
    if (!(characteristics & 0x2000)) return "PE, not a DLL";
    return machine == 0x8664 ? "Windows/x86_64" : "PE for another machine";
  }
  return "not a binary";
}

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
    vantorel::zip::ExtractAll(zip, dir->string());
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
  std::map<std::string, std::string> byOs;
  for (auto c : bundle.children()) {
    ASSERT_STREQ(c.name(), "component");
    const std::string path = c.attribute("path").value();
    const std::string os = c.attribute("os").value();
    EXPECT_STREQ(c.attribute("type").value(), "native");
    EXPECT_STREQ(c.attribute("arch").value(), "x86_64");
    EXPECT_EQ(vantorel::zip::SafeEntryPath(path), path);
    EXPECT_EQ(path.find('/'), std::string::npos) << "binaries lie at the archive's top";
    ASSERT_TRUE(fs::is_regular_file(*dir / path)) << path << " is named but not in the archive";
    EXPECT_EQ(BinaryKind(ReadFile(*dir / path)), os + "/x86_64") << path;
    EXPECT_TRUE(byOs.emplace(os, path).second) << "two components for " << os;
    expected.insert(path);
  }
  std::set<std::string> found;
  for (const auto& e : fs::recursive_directory_iterator(*dir))
    if (e.is_regular_file()) found.insert(fs::relative(e.path(), *dir).generic_string());
  EXPECT_EQ(found, expected);

  // The Linux add-in is always there and is the one just built; the Windows DLL whenever the
  // Windows build made one.
  ASSERT_TRUE(byOs.count("Linux"));
  EXPECT_EQ(ReadFile(*dir / byOs["Linux"]), ReadFile(VANTOREL_ADDIN_PATH));
  const fs::path dll = VANTOREL_WINDOWS_DLL_FILE;
  if (fs::exists(dll)) {
    ASSERT_TRUE(byOs.count("Windows")) << dll << " exists but is not packaged";
    EXPECT_EQ(ReadFile(*dir / byOs["Windows"]), ReadFile(dll));
  } else {
    std::cout << "note: no Windows build at " << dll << ", the package is Linux-only\n";
  }
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
