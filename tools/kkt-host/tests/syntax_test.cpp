// The argument and scenario syntax: what a person types must turn into exactly the intended values.
#include <gtest/gtest.h>

#include <fstream>

#include "scenario.h"
#include "value.h"

namespace kkthost {
namespace {

TEST(ParseArg, LiteralsBecomeTypedValues) {
  struct Case {
    const char* text;
    std::uint16_t vt;
    std::string rendered;
  };
  const Case cases[] = {
      {"s:hello world", abi::VTYPE_PWSTR, "hello world"},
      {"s:", abi::VTYPE_PWSTR, ""},
      {"s:a:b=c", abi::VTYPE_PWSTR, "a:b=c"},
      {"s:Привет", abi::VTYPE_PWSTR, "Привет"},
      {"i:-2147483648", abi::VTYPE_I4, "-2147483648"},
      {"i:+7", abi::VTYPE_I4, "7"},
      {"l:9223372036854775807", abi::VTYPE_I8, "9223372036854775807"},
      {"d:-1.25", abi::VTYPE_R8, "-1.25"},
      {"d:1e3", abi::VTYPE_R8, "1000"},
      {"b:true", abi::VTYPE_BOOL, "true"},
      {"b:false", abi::VTYPE_BOOL, "false"},
      {"t:2024-02-29T23:59:58", abi::VTYPE_TM, "2024-02-29T23:59:58"},
      {"e", abi::VTYPE_EMPTY, ""},
      {"n", abi::VTYPE_NULL, "null"},
      {"x:00FFa1", abi::VTYPE_BLOB, "00ffa1"},
      {"x:", abi::VTYPE_BLOB, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const Arg a = ParseArg(c.text);
    EXPECT_EQ(a.kind, Arg::Kind::Literal);
    EXPECT_EQ(a.value.vt, c.vt);
    EXPECT_EQ(Render(a.value), c.rendered);
  }
}

TEST(ParseArg, VariablesAndOutParameters) {
  const Arg in = ParseArg("$DeviceID");
  EXPECT_EQ(in.kind, Arg::Kind::Variable);
  EXPECT_EQ(in.name, "DeviceID");
  const Arg out = ParseArg(">Out_1");
  EXPECT_EQ(out.kind, Arg::Kind::Out);
  EXPECT_EQ(out.name, "Out_1");
}

TEST(ParseArg, MistakesAreUsageErrors) {
  for (const char* bad : {"",
                          "s",
                          "hello",
                          "q:1",
                          "i:",
                          "i:2147483648",
                          "i:1.5",
                          "i:12x",
                          "l:",
                          "d:1,5",
                          "d:",
                          "b:yes",
                          "b:TRUE",
                          "t:2023-02-29T00:00:00",
                          "t:2024-13-01T00:00:00",
                          "t:2024-01-01",
                          "t:2024-01-01T24:00:00",
                          "x:abc",
                          "x:zz",
                          "$",
                          ">",
                          "$a b",
                          "s@"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(ParseArg(bad), UsageError);
  }
  EXPECT_THROW(ParseArg("s@/nonexistent/file.xml"), UsageError);
}

TEST(ParseArg, FileTextIsReadAsUtf8WithoutBom) {
  const auto dir = std::filesystem::temp_directory_path() / "kkthost_syntax_test";
  std::filesystem::create_directories(dir);
  {
    std::ofstream f(dir / "doc.xml", std::ios::binary);
    f << "\xEF\xBB\xBF<a>Чек</a>\r\n";
  }
  // A relative name not found in the current directory is looked up beside the scenario.
  const Arg a = ParseArg("s@doc.xml", dir);
  EXPECT_EQ(a.value.vt, abi::VTYPE_PWSTR);
  EXPECT_EQ(a.value.text, "<a>Чек</a>\r\n");
  std::filesystem::remove_all(dir);
}

TEST(SplitLine, SplitsLikeAShell) {
  struct Case {
    const char* line;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"  Open  i:1\tb:true  ", {"Open", "i:1", "b:true"}},
      {R"(Print s:"two words" 's:single quoted')", {"Print", "s:two words", "s:single quoted"}},
      {R"(P "s:a \"q\" \\ b")", {"P", R"(s:a "q" \ b)"}},
      {R"(P 's:no \escape')", {"P", R"(s:no \escape)"}},
      {R"(P s:"")", {"P", "s:"}},
      {"P s:a\\ b", {"P", "s:a b"}},
      {"P s:x#y # comment", {"P", "s:x#y"}},
      {"# whole line", {}},
      {"", {}},
      {"P \"s:<a>\"'more'", {"P", "s:<a>more"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(SplitLine(c.line), c.words);
  }
  EXPECT_THROW(SplitLine("P \"s:open"), UsageError);
  EXPECT_THROW(SplitLine("P 's:open"), UsageError);
}

TEST(ParseCommand, CallsAndProperties) {
  Command c = ParseCommand({"call", "--proc", "Open", "i:1", ">x"});
  EXPECT_EQ(c.kind, Command::Kind::Call);
  EXPECT_EQ(c.callKind, CallKind::Procedure);
  EXPECT_EQ(c.name, "Open");
  EXPECT_EQ(c.args, (std::vector<std::string>{"i:1", ">x"}));

  c = ParseCommand({"Open"});
  EXPECT_EQ(c.callKind, CallKind::Function);
  EXPECT_TRUE(c.args.empty());

  c = ParseCommand({"setprop", "LogEnabled", "b:true"});
  EXPECT_EQ(c.kind, Command::Kind::SetProp);
  EXPECT_EQ(c.args, (std::vector<std::string>{"b:true"}));

  for (const auto& bad : std::vector<std::vector<std::string>>{{"getprop"},
                                                               {"getprop", "a", "b"},
                                                               {"setprop", "a"},
                                                               {"call"},
                                                               {"--proc"},
                                                               {"--x", "M"}}) {
    EXPECT_THROW(ParseCommand(bad), UsageError);
  }
}

TEST(ParseScenario, SkipsBlanksAndCommentsAndNamesTheFaultyLine) {
  const auto lines =
      ParseScenario("# setup\r\n\nOpen s:\"a b\" >id\r\n  getprop Flag\n--proc Close $id");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].number, 3);
  EXPECT_EQ(lines[0].command.args, (std::vector<std::string>{"s:a b", ">id"}));
  EXPECT_EQ(lines[1].number, 4);
  EXPECT_EQ(lines[1].command.kind, Command::Kind::GetProp);
  EXPECT_EQ(lines[2].command.callKind, CallKind::Procedure);

  try {
    ParseScenario("Open\n\nPrint \"s:unterminated\n");
    FAIL() << "no error";
  } catch (const UsageError& e) {
    EXPECT_NE(std::string(e.what()).find("line 3"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace kkthost
