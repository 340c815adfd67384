// The virtual register's COM server and the driver's COM automation client, together: values
// cross unchanged, registration behaves, the device session runs over COM, and a worker thread
// reaches an apartment's object through the handoff.
#include <gtest/gtest.h>
// windows.h first: the other system headers need its types.
// clang-format off
#include <windows.h>
#include <objbase.h>
// clang-format on

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "device/automation.h"
#include "device/device.h"
#include "dispatch_server.h"

namespace vantorel {
namespace {

using automation::Value;

// The test program's thread is in a single-threaded apartment, as the host's is.
class ComEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK); }
  void TearDown() override { CoUninitialize(); }
};
const auto* const kCom = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

HMODULE Server() {
  static HMODULE module = LoadLibraryW(L"vregister_com.dll");
  return module;
}

template <typename F>
F Export(const char* name) {
  FARPROC p = GetProcAddress(Server(), name);
  F f = nullptr;
  static_assert(sizeof f == sizeof p);
  std::memcpy(&f, &p, sizeof f);
  return f;
}

using RegisterFn = HRESULT(WINAPI*)();
using RegisterAsFn = HRESULT(WINAPI*)(LPCWSTR);

std::wstring ReadClassesValue(const wchar_t* key, const wchar_t* name) {
  wchar_t buf[512];
  DWORD size = sizeof buf;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key, name, RRF_RT_REG_SZ, nullptr, buf, &size) !=
      ERROR_SUCCESS)
    return L"";
  return buf;
}

class ComServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_NE(Server(), nullptr) << "vregister_com.dll not found beside the test";
    ASSERT_EQ(Export<RegisterFn>("DllRegisterServer")(), S_OK);
  }
};

TEST_F(ComServerTest, RegistersItselfInClassesRootForEveryThread) {
  const std::wstring clsid = ReadClassesValue(L"Vantorel.VirtualRegister\\CLSID", nullptr);
  ASSERT_EQ(clsid.size(), 38u);
  const std::wstring inproc = L"CLSID\\" + clsid + L"\\InprocServer32";
  EXPECT_EQ(ReadClassesValue(inproc.c_str(), L"ThreadingModel"), L"Both");
  EXPECT_NE(ReadClassesValue(inproc.c_str(), nullptr).find(L"vregister_com.dll"),
            std::wstring::npos);
}

TEST_F(ComServerTest, TakesAnotherProgIdOnlyWhenNobodyHasIt) {
  auto registerAs = Export<RegisterAsFn>("DllRegisterServerAs");
  auto unregisterAs = Export<RegisterAsFn>("DllUnregisterServerAs");
  ASSERT_NE(registerAs, nullptr);
  ASSERT_NE(unregisterAs, nullptr);

  // Another server's ProgID stays that server's.
  const wchar_t* taken = L"Vantorel.OtherServer";
  const wchar_t* other = L"{2FAA319E-E71B-42A3-9CFA-CDBF78B9896C}";
  HKEY h;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"Vantorel.OtherServer\\CLSID", 0, nullptr, 0,
                            KEY_WRITE, nullptr, &h, nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(h, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(other),
                 static_cast<DWORD>((wcslen(other) + 1) * sizeof(wchar_t)));
  RegCloseKey(h);
  EXPECT_EQ(registerAs(taken), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(unregisterAs(taken), S_OK);
  EXPECT_EQ(ReadClassesValue(L"Vantorel.OtherServer\\CLSID", nullptr), other);
  RegDeleteTreeW(HKEY_CLASSES_ROOT, taken);

  // A free one is taken and given back.
  const wchar_t* free = L"Vantorel.FreeName";
  ASSERT_EQ(registerAs(free), S_OK);
  EXPECT_EQ(ReadClassesValue(L"Vantorel.FreeName\\CLSID", nullptr),
            ReadClassesValue(L"Vantorel.VirtualRegister\\CLSID", nullptr));
  EXPECT_EQ(unregisterAs(free), S_OK);
  EXPECT_EQ(ReadClassesValue(L"Vantorel.FreeName\\CLSID", nullptr), L"");

  // A key without a class is somebody's half-done installation: left alone.
  HKEY bare;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"Vantorel.BareKey", 0, nullptr, 0, KEY_WRITE,
                            nullptr, &bare, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(bare);
  EXPECT_EQ(registerAs(L"Vantorel.BareKey"), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
  RegDeleteTreeW(HKEY_CLASSES_ROOT, L"Vantorel.BareKey");

  // regsvr32-style registration takes the alias from the environment.
  SetEnvironmentVariableW(L"VANTOREL_VREGISTER_PROGID", L"Vantorel.EnvAlias");
  EXPECT_EQ(Export<RegisterFn>("DllRegisterServer")(), S_OK);
  SetEnvironmentVariableW(L"VANTOREL_VREGISTER_PROGID", nullptr);
  EXPECT_EQ(ReadClassesValue(L"Vantorel.EnvAlias\\CLSID", nullptr),
            ReadClassesValue(L"Vantorel.VirtualRegister\\CLSID", nullptr));
  EXPECT_EQ(unregisterAs(L"Vantorel.EnvAlias"), S_OK);

  for (const wchar_t* bad : {L"", L"1Name", L"Bad Name", L"Bad\\Name", (const wchar_t*)nullptr})
    EXPECT_EQ(registerAs(bad), E_INVALIDARG);
}

TEST_F(ComServerTest, VirtualRegisterAnswersThroughCreateObject) {
  auto reg = automation::CreateObject("Vantorel.VirtualRegister");
  EXPECT_GE(TDtoVersion::Parse(reg->get("Version").asText()),
            TDtoVersion::Parse(kDtoMinimumVersion));
  const Value text = reg->get("LIBFPTR_PARAM_TEXT");
  EXPECT_TRUE(text.is<std::int32_t>());
  EXPECT_EQ(reg->get("libfptr_param_text"), text);  // names ignore letter case on both sides
  try {
    reg->call("noSuchOperation");
    ADD_FAILURE() << "unknown operation accepted";
  } catch (const automation::AutomationError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("noSuchOperation"), std::string::npos) << what;
    EXPECT_NE(what.find("0x"), std::string::npos) << what;
  }
  EXPECT_THROW(automation::CreateObject("Vantorel.NotRegistered"), automation::AutomationError);
}

// An object that gives back what it gets: "echo" returns its argument, "pair" joins the texts
// of two arguments in the order it received them, "kind" names the type that arrived.
class Echo final : public automation::Object {
 public:
  Value get(std::string_view name) override { return Value(std::string(name)); }
  Value call(std::string_view name, std::span<const Value> args) override {
    if (name == "echo") return args[0];
    if (name == "wide") return Value(args[0].asInt() * 4294967296);  // a 64-bit result
    if (name == "pair") return Value(args[0].asText() + "|" + args[1].asText());
    const auto& s = args[0].storage();
    static const char* kinds[] = {"empty",    "bool", "int32", "int64", "double",
                                  "currency", "date", "text",  "bytes"};
    return Value(kinds[s.index()]);
  }
};

// The echo object registered for this process only, under a ProgID of its own.
class EchoServer {
 public:
  EchoServer() {
    CLSIDFromString(L"{2FAA319E-E71B-42A3-9CFA-CDBF78B9896C}", &clsid_);
    auto* factory = new emulator::com::ClassFactory([] { return std::make_unique<Echo>(); });
    hr_ =
        CoRegisterClassObject(clsid_, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
    factory->Release();
    HKEY h;
    const wchar_t* text = L"{2FAA319E-E71B-42A3-9CFA-CDBF78B9896C}";
    RegCreateKeyExW(HKEY_CLASSES_ROOT, L"Vantorel.EchoTest\\CLSID", 0, nullptr, 0, KEY_WRITE,
                    nullptr, &h, nullptr);
    RegSetValueExW(h, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
    RegCloseKey(h);
  }
  ~EchoServer() {
    if (SUCCEEDED(hr_)) CoRevokeClassObject(cookie_);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, L"Vantorel.EchoTest");
  }
  HRESULT result() const { return hr_; }

 private:
  CLSID clsid_{};
  DWORD cookie_ = 0;
  HRESULT hr_ = E_FAIL;
};

TEST(ComValuesTest, EveryKindOfValueCrossesUnchanged) {
  EchoServer server;
  ASSERT_EQ(server.result(), S_OK);
  auto echo = automation::CreateObject("Vantorel.EchoTest");

  const struct {
    Value value;
    const char* kind;
  } cases[] = {
      {Value(true), "bool"},
      {Value(false), "bool"},
      {Value(std::int32_t{-2147483647 - 1}), "int32"},
      {Value(0.1), "double"},
      {Value(automation::Currency{1234567890123}), "currency"},  // 123456789.0123
      {Value(automation::Currency{-1}), "currency"},
      {Value(automation::Date{45292.75}), "date"},  // 2024-01-01 18:00
      {Value("Кассир №1 — ёЁ €"), "text"},
      {Value(""), "text"},
      {Value(std::string("a\0b", 3)), "text"},
      {Value(automation::Bytes{0, 1, 0x7F, 0x80, 0xFF}), "bytes"},
      {Value(automation::Bytes{}), "bytes"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(echo->call("echo", c.value), c.value) << c.kind << " " << c.value.asText();
    if (!c.value.empty()) {
      EXPECT_EQ(echo->call("kind", c.value).asText(), c.kind) << c.value.asText();
    }
  }
  EXPECT_EQ(echo->call("pair", Value("first"), Value(std::int32_t{2})), Value("first|2"));
  // Results may be 64-bit; arguments take only the types the register maker's library takes, so
  // a 64-bit integer or an empty argument is refused by name.
  EXPECT_EQ(echo->call("wide", Value(std::int32_t{3})), Value(std::int64_t{3} * 4294967296));
  for (const Value& refused : {Value(std::int64_t{9007199254740993}), Value()}) {
    try {
      echo->call("echo", refused);
      ADD_FAILURE() << "accepted " << refused.asText();
    } catch (const automation::AutomationError& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find("argument 1 has variant type"), std::string::npos) << what;
      EXPECT_NE(what.find("32-bit integers"), std::string::npos) << what;
    }
  }
  EXPECT_EQ(echo->get("SomeName"), Value("SomeName"));
}

TEST_F(ComServerTest, DeviceSessionRunsOverCom) {
  auto registerAs = Export<RegisterAsFn>("DllRegisterServerAs");
  const HRESULT hr = registerAs(L"AddIn.Fptr10");
  if (hr == HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS))
    GTEST_SKIP() << "an installed driver library owns AddIn.Fptr10 here";
  ASSERT_EQ(hr, S_OK);
  // Other Windows tests share the prefix: they must not find the driver's ProgID by accident.
  struct Unregister {
    ~Unregister() { Export<RegisterAsFn>("DllUnregisterServerAs")(L"AddIn.Fptr10"); }
  } unregister;

  const auto folder = std::filesystem::temp_directory_path() / "vantorel-com-test";
  std::filesystem::remove_all(folder);
  _wputenv_s(L"VANTOREL_VREG_DIR", folder.wstring().c_str());

  TDevice device;
  TConnectionSettings settings;
  settings.ConnectionType = 2;  // USB
  device.Connect(settings);

  // A day ahead: the register refuses to go back before its last fiscal document.
  const automation::Date when{device.GetDateTime().days + 1};
  device.SetDateTime(when);
  EXPECT_NEAR(device.GetDateTime().days, when.days, 1.0 / 86400);

  TDeviceData state;
  device.GetKKTState(state);
  EXPECT_TRUE(state.At("DATE_TIME").is<automation::Date>());
  EXPECT_FALSE(state.At("SERIAL_NUMBER").asText().empty());
  TDeviceData storage;
  device.GetFNInfo(storage);
  device.GetFFDVersions(storage);
  EXPECT_FALSE(storage.At("FN_VERSION").asText().empty());
  device.Disconnect();
}

TEST_F(ComServerTest, WorkerThreadReachesTheObjectThroughTheHandoff) {
  auto reg = automation::CreateObject("Vantorel.VirtualRegister");
  const std::string version = reg->get("Version").asText();
  auto handoff = reg->ShareWithThread();
  std::atomic<bool> done{false};
  std::atomic<int> matched{0};
  std::string failure;
  std::thread worker([&] {
    try {
      auto mine = handoff->Open();
      for (int i = 0; i < 20; ++i)
        if (mine->get("Version").asText() == version) ++matched;
    } catch (const std::exception& e) {
      failure = e.what();
    }
    done = true;
  });
  // The calls are carried out on this thread's apartment: it must keep serving them.
  EXPECT_TRUE(automation::WaitServingCalls([&] { return done.load(); }, std::chrono::seconds(20)));
  worker.join();
  handoff.reset();
  EXPECT_EQ(failure, "");
  EXPECT_EQ(matched, 20);
}

}  // namespace
}  // namespace vantorel
