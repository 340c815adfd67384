// A small fixture for the virtual register tests: a temporary state folder and a thin layer over
// the automation calls, spelled the way the driver makes them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "vregister/constants.h"
#include "vregister/persistence.h"
#include "vregister/register.h"

namespace vantorel::emulator::testing {

using automation::Value;

inline void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// One library object with helpers for the common call patterns.
class Reg {
 public:
  Reg() : obj(std::make_unique<VirtualRegister>()) {}

  std::int32_t K(const char* name) { return static_cast<std::int32_t>(obj->get(name).asInt()); }
  void Set(const char* param, const Value& v) { obj->call("setParam", Value(K(param)), v); }
  void SetK(const char* param, const char* constant) { Set(param, Value(K(constant))); }
  void Tag(int tag, const Value& v) { obj->call("setParam", Value(std::int32_t{tag}), v); }
  int Call(const char* name) { return static_cast<int>(obj->call(name).asInt()); }
  std::int64_t Int(const char* param) { return obj->call("getParamInt", Value(K(param))).asInt(); }
  std::int64_t IntOf(int id) { return obj->call("getParamInt", Value(std::int32_t{id})).asInt(); }
  double Real(const char* param) { return obj->call("getParamDouble", Value(K(param))).asDouble(); }
  bool Bool(const char* param) { return obj->call("getParamBool", Value(K(param))).asBool(); }
  std::string Text(const char* param) {
    return obj->call("getParamString", Value(K(param))).asText();
  }
  automation::Bytes Bytes(const char* param) {
    return obj->call("getParamByteArray", Value(K(param))).asBytes();
  }
  int ErrorCode() { return static_cast<int>(obj->get("errorCode").asInt()); }
  std::string ErrorText() { return obj->get("errorDescription").asText(); }

  // The connection sequence of the driver, USB unless told otherwise.
  int Connect(const char* port = "LIBFPTR_PORT_USB", const std::string& address = {}) {
    Setting("LIBFPTR_SETTING_MODEL", std::to_string(K("LIBFPTR_MODEL_ATOL_AUTO")));
    Setting("LIBFPTR_SETTING_PORT", std::to_string(K(port)));
    if (std::string(port) == "LIBFPTR_PORT_COM") Setting("LIBFPTR_SETTING_COM_FILE", address);
    if (std::string(port) == "LIBFPTR_PORT_TCPIP") {
      Setting("LIBFPTR_SETTING_IPADDRESS", address);
      Setting("LIBFPTR_SETTING_IPPORT", "5555");
    }
    if (std::string(port) == "LIBFPTR_PORT_BLUETOOTH")
      Setting("LIBFPTR_SETTING_MACADDRESS", address);
    if (int rc = Call("applySingleSettings")) return rc;
    return Call("open");
  }
  void Setting(const char* name, const std::string& value) {
    obj->call("setSingleSetting", Value(K(name)), Value(value));
  }

  int Query(const char* type) {
    SetK("LIBFPTR_PARAM_DATA_TYPE", type);
    return Call("queryData");
  }
  int FnQuery(const char* type) {
    SetK("LIBFPTR_PARAM_FN_DATA_TYPE", type);
    return Call("fnQueryData");
  }
  std::int64_t ShiftState() {
    EXPECT_EQ(Query("LIBFPTR_DT_SHIFT_STATE"), 0);
    return Int("LIBFPTR_PARAM_SHIFT_STATE");
  }
  double Cash() {
    EXPECT_EQ(Query("LIBFPTR_DT_CASH_SUM"), 0);
    return Real("LIBFPTR_PARAM_SUM");
  }
  int OpenShift(const std::string& cashier = "Иванов И.И.") {
    Tag(1021, Value(cashier));
    if (int rc = Call("operatorLogin")) return rc;
    return Call("openShift");
  }
  int CloseShift() {
    SetK("LIBFPTR_PARAM_REPORT_TYPE", "LIBFPTR_RT_CLOSE_SHIFT");
    return Call("report");
  }
  int OpenReceipt(const char* type = "LIBFPTR_RT_SELL", bool electronic = false) {
    Set("LIBFPTR_PARAM_RECEIPT_ELECTRONICALLY", Value(electronic));
    SetK("LIBFPTR_PARAM_RECEIPT_TYPE", type);
    return Call("openReceipt");
  }
  // Amounts as automation currency values, as the driver sends them.
  static Value Money(double v) {
    return Value(
        automation::Currency{static_cast<std::int64_t>(v * 10000.0 + (v >= 0 ? 0.5 : -0.5))});
  }
  int Item(const std::string& name, double price, double quantity, double sum,
           const char* tax = "LIBFPTR_TAX_VAT20") {
    Set("LIBFPTR_PARAM_POSITION_SUM", Money(sum));
    Set("LIBFPTR_PARAM_COMMODITY_NAME", Value(name));
    Set("LIBFPTR_PARAM_PRICE", Money(price));
    Set("LIBFPTR_PARAM_QUANTITY", Value(quantity));
    SetK("LIBFPTR_PARAM_TAX_TYPE", tax);
    Tag(1212, Value(std::int32_t{1}));
    Tag(1214, Value(std::int32_t{4}));
    return Call("registration");
  }
  int Pay(const char* type, double sum) {
    SetK("LIBFPTR_PARAM_PAYMENT_TYPE", type);
    Set("LIBFPTR_PARAM_PAYMENT_SUM", Money(sum));
    return Call("payment");
  }

  std::unique_ptr<VirtualRegister> obj;
};

// Each test gets its own state folder.
class VregTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = std::filesystem::temp_directory_path() /
           ("vreg-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            std::to_string(counter++) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    SetEnv("VANTOREL_VREG_DIR", dir_.string());
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::filesystem::path File(const std::string& key) const { return dir_ / (key + ".db"); }

  std::filesystem::path dir_;
};

}  // namespace vantorel::emulator::testing
