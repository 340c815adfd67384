// What the receipt tests share: a register with an open shift, a package runner that reports the
// host's outcome, and the register's call trace with the fiscal tags staged along the way.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver_fixture.h"
#include "support/equipment_errors.h"

namespace vantorel::testing {

// Skips the rest of a test whose path reaches an operation still marked as not built.
#define SKIP_IF_NOT_YET(outcome)                                               \
  do {                                                                         \
    if ((outcome).message.find("пока не поддерживается") != std::string::npos) \
      GTEST_SKIP() << (outcome).message;                                       \
  } while (0)

struct Outcome {
  int code = 0;  // 0 success, else the code the host would read
  std::string message;
  std::string output;  // the result document on success
};

class ReceiptFlow : public DriverOnVirtualRegister {
 protected:
  // Connects, opens the shift straight on the register and forgets the trace so far.
  void OpenShift(const std::string& extra = {}) {
    Connect(extra);
    driver.Device().Call("openShift");
    reg->ClearTrace();
  }

  void CloseShift() {
    driver.Device().SetParam("LIBFPTR_PARAM_REPORT_TYPE",
                             driver.Device().Const("LIBFPTR_RT_CLOSE_SHIFT"));
    driver.Device().Call("report");
  }

  Outcome Receipt(const std::string& package, bool electronically = false,
                  bool correction = false) {
    return Run(
        [&](pugi::xml_document& in, pugi::xml_document& out) {
          driver.ProcessCheck(electronically, in, out, correction);
        },
        package);
  }
  Outcome CorrectionReceipt(const std::string& package, bool electronically = false) {
    return Run(
        [&](pugi::xml_document& in, pugi::xml_document& out) {
          driver.ProcessCorrectionCheck(electronically, in, out);
        },
        package);
  }

  // Calls in order; setParam of a fiscal tag shows as "1021=value", other setParams and getParams
  // are left out.
  std::vector<std::string> Steps() const {
    std::vector<std::string> out;
    for (const auto& e : reg->Trace()) {
      if (e.kind != emulator::TraceEntry::Kind::kCall) continue;
      if (e.name == "setParam" && e.args.size() == 2) {
        const std::int64_t id = e.args[0].asInt();
        if (id < 65536) out.push_back(std::to_string(id) + "=" + Render(e.args[1]));
        continue;
      }
      if (e.name.rfind("getParam", 0) == 0) continue;
      out.push_back(e.name);
    }
    return out;
  }
  // The value last staged for a named input (a LIBFPTR_ name), empty when none was.
  automation::Value Staged(const char* name) const {
    const std::int64_t id = driver.Device().Const(name).asInt();
    automation::Value v;
    for (const auto& e : reg->Trace())
      if (e.kind == emulator::TraceEntry::Kind::kCall && e.name == "setParam" &&
          e.args.size() == 2 && e.args[0].asInt() == id)
        v = e.args[1];
    return v;
  }
  static std::string Render(const automation::Value& v) {
    if (v.is<automation::Bytes>())
      return "bytes[" + std::to_string(v.get<automation::Bytes>().size()) + "]";
    if (v.is<automation::Date>()) return "date:" + std::to_string(v.get<automation::Date>().days);
    try {
      return v.asText();
    } catch (const std::exception&) {
      return "?";
    }
  }
  // Position of `step` in `steps`, steps.size() when absent.
  static std::size_t IndexOf(const std::vector<std::string>& steps, const std::string& step,
                             std::size_t from = 0) {
    for (std::size_t i = from; i < steps.size(); ++i)
      if (steps[i] == step) return i;
    return steps.size();
  }
  static bool Has(const std::vector<std::string>& steps, const std::string& step) {
    return IndexOf(steps, step) < steps.size();
  }
  static std::size_t Count(const std::vector<std::string>& steps, const std::string& step) {
    std::size_t n = 0;
    for (const auto& s : steps) n += s == step;
    return n;
  }

  emulator::DeviceState State() { return Register()->Snapshot(); }

 private:
  template <typename Body>
  Outcome Run(Body&& body, const std::string& package) {
    Outcome o;
    try {
      pugi::xml_document in, out;
      xml::ParseInputUtf8(package, in);
      xml::NewOutput(out);
      body(in, out);
      o.output = xml::ToUtf8Text(out);
    } catch (const EquException& e) {
      o.code = e.Code();
      o.message = e.what();
    } catch (const std::exception& e) {
      o.code = 1001;
      o.message = e.what();
    }
    return o;
  }
};

}  // namespace vantorel::testing
