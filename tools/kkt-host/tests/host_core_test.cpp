// The host core against a small add-in of its own: values must cross the host boundary intact,
// and every memory mistake of an add-in must be caught and attributed.
#include <gtest/gtest.h>

#include <sstream>

#include "component.h"
#include "scenario.h"

namespace kkthost {
namespace {

std::unique_ptr<Component> Open(Host& host) { return host.Create(); }

Host& TestAddin() {
  static Host host(BesideExecutable(KKTHOST_TESTADDIN_FILE));
  return host;
}

bool Has(const std::vector<MemoryFault>& faults, FaultKind kind) {
  for (const auto& f : faults) {
    if (f.kind == kind) return true;
  }
  return false;
}

std::string Describe(const std::vector<MemoryFault>& faults) {
  std::string s;
  for (const auto& f : faults) s += f.Describe() + "\n";
  return s;
}

TEST(Host, LoadsAndSetsUpTheObjectAsTheHostDoes) {
  Host& host = TestAddin();
  EXPECT_EQ(host.ClassNames(), std::vector<std::string>{"kkthost_test"});
  EXPECT_EQ(host.AttachType(), 3);
  auto c = host.Create();
  EXPECT_EQ(c->Info(), 2000);
  EXPECT_EQ(c->ExtensionName(), "KkthostTest");
  EXPECT_THROW(host.Create("KKTHOST_TEST"), HostError);
  EXPECT_THROW(Host(BesideExecutable("no-such-addin.so")), HostError);

  const auto methods = c->Methods();
  ASSERT_EQ(methods.size(), 12u);
  EXPECT_EQ(methods[0].name, "Echo");
  EXPECT_EQ(methods[0].localName, "Эхо");
  EXPECT_EQ(methods[0].paramCount, 2);
  EXPECT_FALSE(methods[8].hasRetVal);
  const auto props = c->Properties();
  ASSERT_EQ(props.size(), 2u);
  EXPECT_EQ(props[1].localName, "Заголовок");
  EXPECT_TRUE(props[1].readable);
  EXPECT_FALSE(props[1].writable);
  // Names returned in host memory are the host's and freed by it: nothing outstanding.
  EXPECT_TRUE(c->Close().empty()) << Describe(c->MemoryFaults());
}

// The 32-bit Windows host pushes `this` and the arguments and expects every table entry to pop
// them (__stdcall). An entry in the default cdecl convention leaves the stack off by 4 bytes per
// word; kkt-host must refuse it at its first call rather than run on with a skewed stack.
TEST(Host, EntryInTheWrongCallingConventionIsRefused) {
  auto c = TestAddin().Create("kkthost_test_cdecl");
  if (!vantorel::abi::kWindowsX86) {
    EXPECT_EQ(c->MethodCount(), 12);  // one calling convention on x64: nothing to get wrong
    return;
  }
  try {
    c->MethodCount();
    ADD_FAILURE() << "a cdecl GetNMethods went unnoticed";
  } catch (const HostError& e) {
    EXPECT_NE(std::string(e.what()).find("GetNMethods popped 0 bytes of the stack, the host "
                                         "expects 4"),
              std::string::npos)
        << e.what();
  }
  // The entries of the right convention go on working, arguments and all.
  EXPECT_EQ(c->FindMethod("Эхо"), 0);
  EXPECT_EQ(c->MethodName(11, 1), "ВернутьОсвобождённое");
  EXPECT_TRUE(c->Close().empty());
}

TEST(Component, EveryValueTypeCrossesIntact) {
  auto c = Open(TestAddin());
  DateTime t{2025, 12, 31, 23, 59, 58};
  const Value values[] = {Value::Text("Чек <a b=\"1\"/>\n"),
                          Value::Text(""),
                          Value::I4(-5),
                          Value::I8(int64_t{1} << 40),
                          Value::R8(0.1),
                          Value::Bool(true),
                          Value::Tm(t),
                          Value::Blob({0, 1, 0xFF}),
                          Value::Empty(),
                          Value::Null()};
  for (const Value& v : values) {
    SCOPED_TRACE(TypeName(v.vt) + " " + Render(v));
    // Echo returns its second parameter: a wrong record size would misread it.
    const CallOutcome o = c->Call("Эхо", {Value::I4(0), v});
    ASSERT_TRUE(o.hostResult);
    ASSERT_TRUE(o.result.has_value());
    EXPECT_EQ(o.result->vt, v.vt);
    EXPECT_EQ(Render(*o.result), Render(v));
    ASSERT_EQ(o.params.size(), 2u);
    EXPECT_EQ(Render(o.params[1]), Render(v));
    EXPECT_TRUE(o.memoryFaults.empty()) << Describe(o.memoryFaults);
  }
  EXPECT_TRUE(c->Close().empty()) << Describe(c->MemoryFaults());
}

TEST(Component, CallRulesOfTheHost) {
  auto c = Open(TestAddin());
  EXPECT_THROW(c->Call("echo", {}), UsageError);  // names are exact
  EXPECT_THROW(c->Call("Echo", {Value::I4(1), Value::I4(2), Value::I4(3)}), UsageError);
  EXPECT_THROW(c->Call("Echo", {Value::I4(1)}), UsageError);  // no default for parameter 2
  EXPECT_THROW(c->Call("Proc", {}), UsageError);              // no return value
  EXPECT_TRUE(c->Call("Proc", {}, CallKind::Procedure).hostResult);

  const CallOutcome d = c->Call("Defaulted", {Value::Text("x")});
  ASSERT_EQ(d.params.size(), 2u);
  EXPECT_EQ(d.result->vt, abi::VTYPE_I4);
  EXPECT_EQ(d.result->integer, 42);

  const CallOutcome fail = c->Call("Fail", {});
  EXPECT_FALSE(fail.hostResult);
  ASSERT_EQ(fail.addErrors.size(), 1u);
  EXPECT_EQ(fail.addErrors[0].code, 1006);
  EXPECT_EQ(fail.addErrors[0].source, "Test");
  EXPECT_EQ(fail.addErrors[0].description, "отказ");
  EXPECT_EQ(static_cast<std::uint32_t>(fail.addErrors[0].scode), 0x80004005u);

  const LastError e = c->GetLastError();
  EXPECT_EQ(e.code, 7);
  EXPECT_EQ(e.description.rfind("calls: ", 0), 0u);
  EXPECT_TRUE(c->Close().empty()) << Describe(c->MemoryFaults());
}

TEST(Component, Properties) {
  auto c = Open(TestAddin());
  EXPECT_FALSE(c->ReadProp("Флаг").value.boolean);
  EXPECT_TRUE(c->WriteProp("Flag", Value::Bool(true)).hostResult);
  EXPECT_TRUE(c->ReadProp("Flag").value.boolean);
  const PropOutcome title = c->ReadProp("Title");
  EXPECT_EQ(title.value.vt, abi::VTYPE_PWSTR);
  EXPECT_EQ(title.value.text, "test");
  EXPECT_THROW(c->WriteProp("Title", Value::Text("x")), UsageError);
  EXPECT_THROW(c->ReadProp("Missing"), UsageError);
  // A text passed to SetPropVal stays the host's and is freed by it.
  EXPECT_FALSE(c->WritePropIndex(0, Value::Text("not a bool")).hostResult);
  EXPECT_TRUE(c->Close().empty()) << Describe(c->MemoryFaults());
}

TEST(Component, OutParameterReplacedProperlyIsNoFault) {
  auto c = Open(TestAddin());
  const CallOutcome o = c->Call("Replace", {Value::Text("old")});
  EXPECT_EQ(o.params[0].text, "replaced:old");
  EXPECT_TRUE(c->Close().empty()) << Describe(c->MemoryFaults());
}

TEST(Component, MemoryMistakesOfTheAddinAreCaught) {
  struct Case {
    const char* method;
    std::vector<Value> params;
    FaultKind expected;
    bool atClose;  // only found when the object ends
  };
  const Case cases[] = {
      {"DoubleFree", {}, FaultKind::DoubleFree, false},
      {"ForeignFree", {}, FaultKind::ForeignFree, false},
      {"StaticResult", {}, FaultKind::ForeignBlock, false},
      {"ReturnFreed", {}, FaultKind::DanglingBlock, false},
      {"Overwrite", {Value::Text("lent")}, FaultKind::Leak, false},
      {"Leak", {}, FaultKind::Leak, true},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.method);
    auto c = Open(TestAddin());
    const CallOutcome o = c->Call(k.method, k.params);
    EXPECT_EQ(Has(o.memoryFaults, k.expected), !k.atClose) << Describe(o.memoryFaults);
    const auto all = c->Close();
    ASSERT_TRUE(Has(all, k.expected)) << Describe(all);
    // The fault names the call in which the block was made or the mistake happened.
    bool named = false;
    for (const auto& f : all) {
      named = named || f.allocatedIn.find(k.method) != std::string::npos ||
              f.detectedIn.find(k.method) != std::string::npos;
    }
    EXPECT_TRUE(named) << Describe(all);
  }
}

TEST(MemoryManager, LedgerThroughTheHostTable) {
  MemoryManager mm;
  auto* object = static_cast<abi::HostObject<abi::MemoryManagerTable>*>(mm.HostObject());
  const auto& t = *object->table;
  EXPECT_EQ(t.dtor[0], nullptr);

  void* a = nullptr;
  ASSERT_TRUE(t.AllocMemory(object, &a, 4));
  void* copy = a;
  t.FreeMemory(object, &a);
  EXPECT_EQ(a, nullptr);
  t.FreeMemory(object, &copy);  // a second free of the same block
  void* none = nullptr;
  t.FreeMemory(object, &none);  // freeing null is allowed
  EXPECT_EQ(mm.FaultCount(), 1u);
  EXPECT_EQ(mm.Faults()[0].kind, FaultKind::DoubleFree);

  // Writing past the end is found when the block comes back.
  void* b = nullptr;
  ASSERT_TRUE(t.AllocMemory(object, &b, 4));
  static_cast<char*>(b)[4] = 'x';
  ASSERT_TRUE(mm.Receive(b, "test").has_value());
  EXPECT_EQ(mm.Faults().back().kind, FaultKind::Overrun);
  mm.HostFree(b);

  // A block handed over and then freed by the add-in is the host's: freeing it is a fault.
  void* c = nullptr;
  ASSERT_TRUE(t.AllocMemory(object, &c, 2));
  ASSERT_TRUE(mm.Receive(c, "name").has_value());
  t.FreeMemory(object, &c);
  EXPECT_EQ(mm.Faults().back().kind, FaultKind::FreedHostBlock);

  void* d = nullptr;
  ASSERT_TRUE(t.AllocMemory(object, &d, 2));
  EXPECT_EQ(mm.Outstanding().size(), 1u);
  mm.RefuseAllocations(true);
  void* e = &d;
  EXPECT_FALSE(t.AllocMemory(object, &e, 2));
  EXPECT_EQ(e, nullptr);
  const std::size_t before = mm.FaultCount();
  mm.RecordLeaks();
  EXPECT_EQ(mm.FaultCount(), before + 1);
  EXPECT_EQ(mm.Faults().back().kind, FaultKind::Leak);
}

TEST(Session, JsonLinePerCallAndVariables) {
  auto c = Open(TestAddin());
  std::ostringstream out;
  Session s(*c, out, OutputFormat::Json);
  EXPECT_TRUE(s.Run(ParseCommand({"Replace", "s:\"q\"\n"})));
  EXPECT_TRUE(s.Run(ParseCommand({"Replace", ">v"})));
  EXPECT_TRUE(s.Run(ParseCommand({"Echo", "e", "$v"})));
  EXPECT_FALSE(s.Run(ParseCommand({"Fail"})));
  EXPECT_THROW(s.Run(ParseCommand({"Echo", "e", "$unset"})), UsageError);

  std::istringstream lines(out.str());
  std::vector<nlohmann::ordered_json> calls;
  for (std::string line; std::getline(lines, line);)
    calls.push_back(nlohmann::ordered_json::parse(line));
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0]["params"][0]["value"], "replaced:\"q\"\n");
  EXPECT_EQ(calls[0]["result"], (nlohmann::ordered_json{{"type", "VTYPE_BOOL"}, {"value", true}}));
  EXPECT_EQ(calls[0]["last_error"]["code"], 7);
  EXPECT_EQ(calls[2]["result"]["value"], "replaced:");
  EXPECT_EQ(calls[3]["host_result"], false);
  EXPECT_EQ(calls[3]["add_errors"][0]["description"], "отказ");
  EXPECT_TRUE(c->Close().empty()) << Describe(c->MemoryFaults());
}

}  // namespace
}  // namespace kkthost
