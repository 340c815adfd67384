// A marking-code check over COM from a single-threaded apartment, as the host runs it: the
// polling worker calls the register through its proxy, and those calls are carried out on this
// thread while it waits for the answer. A wait that did not serve them would end in the timeout.
#include <gtest/gtest.h>
// windows.h first: the other system headers need its types.
// clang-format off
#include <windows.h>
#include <objbase.h>
// clang-format on

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "device/automation.h"
#include "device/device.h"

namespace vantorel {
namespace {

TEST(ComMarkingTest, WorkerPollsThroughTheApartmentOfTheCallingThread) {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  ASSERT_TRUE(SUCCEEDED(CoGetApartmentType(&type, &qualifier)));
  ASSERT_EQ(type, APTTYPE_MAINSTA) << "the test program's thread is the host's kind of thread";

  HMODULE server = LoadLibraryW(L"vregister_com.dll");
  ASSERT_NE(server, nullptr) << "vregister_com.dll not found beside the test";
  FARPROC p = GetProcAddress(server, "DllRegisterServer");
  HRESULT(WINAPI * registerServer)() = nullptr;
  std::memcpy(&registerServer, &p, sizeof p);
  ASSERT_NE(registerServer, nullptr);
  ASSERT_EQ(registerServer(), S_OK);

  const auto folder = std::filesystem::temp_directory_path() / "vantorel-com-marking-test";
  std::filesystem::remove_all(folder);
  _wputenv_s(L"VANTOREL_VREG_DIR", folder.wstring().c_str());

  // The register's marking service answers after half a second by default.
  TDevice device([] { return automation::CreateObject("Vantorel.VirtualRegister"); });
  TConnectionSettings settings;
  settings.ConnectionType = 2;  // USB
  device.Connect(settings);
  device.TimeoutRequestKM = 5;

  TKMInput input;
  input.GUID = "g";
  input.KM =
      "010460123456789021ABC123\x1d"
      "91EE06\x1d"
      "92abcdefgh";
  input.PlannedStatus = 1;
  TKMResult result;
  const auto t0 = std::chrono::steady_clock::now();
  device.CheckMark(input, result, false);
  const auto elapsed = std::chrono::steady_clock::now() - t0;

  EXPECT_EQ(result.RequestStatus, 0) << "the service's answer came through the worker";
  EXPECT_EQ(result.LocalValidationResult, 3);
  EXPECT_EQ(result.MarkingValidationResult, 15);
  EXPECT_LT(elapsed, std::chrono::seconds(4));
  ASSERT_TRUE(device.FindKMResult(input.KM).has_value());
  device.Call("declineMarkingCode");
  device.Disconnect();
}

}  // namespace
}  // namespace vantorel
