// A device on the virtual register with a receipt at hand, and the register's trace as readable
// steps: "setParam(TAX_TYPE, LIBFPTR_TAX_VAT20)", "setParam(1212, 1)", "utilFormTlv".
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "device/device.h"
#include "driver_fixture.h"
#include "support/datetime.h"
#include "vregister/constants.h"

namespace vantorel::testing {

class StagingOnVirtualRegister : public DriverOnVirtualRegister {
 protected:
  TDevice& Dev() { return driver.Device(); }

  // Connects a register speaking the format (120 = 1.2, 105, 110, 100); the trace starts empty.
  void Start(int ffd = 120) {
    Connect();
    // The register's state outlives the connection: set the format every time.
    reg->device()->Edit([&](emulator::DeviceState& s) {
      s.config.deviceFfdVersion = s.config.fnFfdVersion = s.ffdVersion = ffd;
      for (auto& tag : s.registration.tags)
        if (tag.number == 1209) tag.integer = ffd;
    });
    Dev().FFDVersion = ffd == 120   ? TFFDVersion::ffd12
                       : ffd == 110 ? TFFDVersion::ffd11
                       : ffd == 105 ? TFFDVersion::ffd105
                                    : TFFDVersion::ffd10;
    reg->ClearTrace();
  }
  // ... and opens a shift and a sale receipt.
  void StartReceipt(int ffd = 120) {
    Start(ffd);
    Dev().CancelReceipt();  // one left by an earlier case
    if (!Register()->Snapshot().shiftOpen) {
      Dev().SetTag(1021, automation::Value("Кассир"));
      Dev().Call("operatorLogin");
      Dev().Call("openShift");
    }
    Dev().OpenReceipt(1, false, false);
    reg->ClearTrace();
  }

  static std::string Hex(const automation::Bytes& b) {
    std::string out;
    char buf[4];
    for (auto c : b) {
      std::snprintf(buf, sizeof buf, out.empty() ? "%02X" : " %02X", c);
      out += buf;
    }
    return out;
  }

  // The calls since the trace began, with staged values; property reads left out.
  std::vector<std::string> Steps() const {
    std::vector<std::string> out;
    for (const auto& e : reg->Trace()) {
      if (e.kind != emulator::TraceEntry::Kind::kCall) continue;
      if (e.name != "setParam") {
        if (!e.name.starts_with("getParam")) out.push_back(e.name);
        continue;
      }
      const auto id = static_cast<std::int32_t>(e.args[0].asInt());
      std::string name = std::to_string(id), family;
      for (const auto& c : emulator::AllConstants())
        if (c.value == id && c.name.starts_with("LIBFPTR_PARAM_"))
          name = std::string(c.name.substr(14));
      if (name == "TAX_TYPE") family = "LIBFPTR_TAX_";
      if (name == "1222" || name == "1057") family = "LIBFPTR_AT_";
      out.push_back("setParam(" + name + ", " + Render(e.args[1], family) + ")");
    }
    return out;
  }
  // Only the steps that stage `id` (as Steps names it) or call something.
  std::vector<std::string> StepsOf(const std::vector<std::string>& ids) const {
    std::vector<std::string> out;
    for (const auto& s : Steps()) {
      if (!s.starts_with("setParam(")) {
        out.push_back(s);
        continue;
      }
      for (const auto& id : ids)
        if (s.starts_with("setParam(" + id + ",")) out.push_back(s);
    }
    return out;
  }

  static std::string Render(const automation::Value& v, const std::string& family = {}) {
    if (!family.empty() && (v.is<std::int32_t>() || v.is<std::int64_t>()))
      for (const auto& c : emulator::AllConstants())
        if (c.value == v.asInt() && c.name.starts_with(family)) return std::string(c.name);
    if (v.is<std::string>()) return "\"" + v.get<std::string>() + "\"";
    if (v.is<automation::Bytes>()) return "[" + Hex(v.get<automation::Bytes>()) + "]";
    if (v.is<automation::Currency>()) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.2f",
                    static_cast<double>(v.get<automation::Currency>().units) / 10000);
      return std::string(buf) + "c";
    }
    if (v.is<automation::Date>())
      return datetime::FormatIso(datetime::FromOleDate(v.get<automation::Date>().days));
    if (v.is<bool>()) return v.get<bool>() ? "true" : "false";
    if (v.empty()) return "<empty>";
    return v.asText();
  }

  // The tags the register stored for its last position (or the receipt's, `receipt` true).
  std::vector<emulator::Tag> PositionTags() {
    const auto s = Register()->Snapshot();
    return s.receipt.positions.empty() ? std::vector<emulator::Tag>{}
                                       : s.receipt.positions.back().tags;
  }
  static std::optional<emulator::Tag> Find(const std::vector<emulator::Tag>& tags, int number) {
    for (const auto& t : tags)
      if (t.number == number) return t;
    return std::nullopt;
  }
  static std::vector<int> Numbers(const std::vector<emulator::Tag>& tags) {
    std::vector<int> out;
    for (const auto& t : tags) out.push_back(t.number);
    return out;
  }
};

}  // namespace vantorel::testing
