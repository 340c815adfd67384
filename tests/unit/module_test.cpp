#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vantorel::platform {
namespace {

TEST(ModuleTest, SettingsPageIsBuiltInWithItsFivePagesInOrder) {
  std::string_view page = Resource("PARAMETERS");
  ASSERT_FALSE(page.empty());
  pugi::xml_document doc;
  pugi::xml_parse_result parsed =
      doc.load_buffer(page.data(), page.size(), pugi::parse_default, pugi::encoding_utf8);
  ASSERT_TRUE(parsed) << parsed.description();
  std::vector<std::string> captions;
  for (pugi::xml_node p : doc.child("Settings").children("Page")) {
    captions.push_back(p.attribute("Caption").value());
  }
  EXPECT_EQ(captions,
            (std::vector<std::string>{"Параметры", "Общие", "Настройка проверки кодов маркировки",
                                      "Графический текст", "Настройка лога"}));
  // The caption keeps its trailing blank.
  EXPECT_STREQ(
      doc.select_node("//Parameter[@Name='TimeoutRequestKM']").node().attribute("Caption").value(),
      "Таймаут проверки КМ (секунд) ");
}

TEST(ModuleTest, HelpArchiveIsAZipAndUnknownNamesAreEmpty) {
  std::string_view help = Resource("HELP");
  ASSERT_GE(help.size(), 22u);  // the end-of-directory record alone
  EXPECT_EQ(help.substr(0, 2), "PK");
  EXPECT_TRUE(Resource("NO_SUCH_RESOURCE").empty());
  EXPECT_TRUE(Resource("").empty());
}

TEST(ModuleTest, VersionAndFileNameDescribeThisModule) {
  FileVersion v = ModuleVersion();
  EXPECT_EQ(v.major, VANTOREL_VERSION_MAJOR);
  EXPECT_EQ(v.minor, VANTOREL_VERSION_MINOR);
  EXPECT_EQ(v.release, VANTOREL_VERSION_PATCH);
  EXPECT_EQ(v.build, VANTOREL_VERSION_BUILD);

  std::string name = ModuleFileName();
  ASSERT_FALSE(name.empty());
  EXPECT_NE(name.find("unit_tests"), std::string::npos) << name;
}

}  // namespace
}  // namespace vantorel::platform
