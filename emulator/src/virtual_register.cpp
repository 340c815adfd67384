#include "vregister/virtual_register.h"

#include <cmath>
#include <cstdio>
#include <optional>

#include "operations.h"
#include "support/text.h"
#include "vregister/persistence.h"
#include "vregister/storage.h"

namespace vantorel::emulator {

using automation::AutomationError;
using automation::Value;

namespace {

constexpr size_t kMaxStaged = 200000;
// What a call answers when the link to the register broke on the way.
constexpr const char* kLinkLost = "Нет связи с ККТ";

struct SettingKey {
  const char* constant;
  const char* key;
};
constexpr SettingKey kSettingKeys[] = {
    {"LIBFPTR_SETTING_MODEL", "Model"},
    {"LIBFPTR_SETTING_PORT", "Port"},
    {"LIBFPTR_SETTING_COM_FILE", "ComFile"},
    {"LIBFPTR_SETTING_BAUDRATE", "BaudRate"},
    {"LIBFPTR_SETTING_BITS", "Bits"},
    {"LIBFPTR_SETTING_STOPBITS", "StopBits"},
    {"LIBFPTR_SETTING_PARITY", "Parity"},
    {"LIBFPTR_SETTING_IPADDRESS", "IPAddress"},
    {"LIBFPTR_SETTING_IPPORT", "IPPort"},
    {"LIBFPTR_SETTING_MACADDRESS", "MACAddress"},
    {"LIBFPTR_SETTING_ACCESS_PASSWORD", "AccessPassword"},
    {"LIBFPTR_SETTING_USER_PASSWORD", "UserPassword"},
    {"LIBFPTR_SETTING_OFD_CHANNEL", "OfdChannel"},
};

// The setting key a setSingleSetting name stands for: its number, the number's text or the key.
std::string SettingKeyOf(const Value& name) {
  std::string text = name.is<std::string>() ? text::Trim(name.get<std::string>()) : name.asText();
  for (const auto& s : kSettingKeys) {
    if (text == std::to_string(C(s.constant)) || text::EqualsIgnoreCase(text, s.key)) return s.key;
  }
  return text;
}

std::int64_t OutputInt(const Value& v) {
  if (v.is<bool>()) return v.get<bool>() ? 1 : 0;
  try {
    return v.asInt();
  } catch (const AutomationError&) {
    return 0;
  }
}

double OutputDouble(const Value& v) {
  if (v.is<bool>()) return v.get<bool>() ? 1 : 0;
  try {
    return v.asDouble();
  } catch (const AutomationError&) {
    return 0;
  }
}

bool OutputBool(const Value& v) {
  try {
    return v.asBool();
  } catch (const AutomationError&) {
    return false;
  }
}

std::string OutputText(const Value& v) {
  if (v.is<bool>()) return v.get<bool>() ? "true" : "false";
  if (v.is<automation::Bytes>()) {
    std::string s;
    char buf[4];
    for (auto b : v.get<automation::Bytes>()) {
      std::snprintf(buf, sizeof buf, "%02X", b);
      s += buf;
    }
    return s;
  }
  return v.asText();
}

Value IntValue(std::int64_t i) {
  if (i >= INT32_MIN && i <= INT32_MAX) return Value(static_cast<std::int32_t>(i));
  return Value(i);
}

// Arity of the methods handled here and of the device operations (all without arguments).
int Arity(const std::string& lower) {
  if (lower == "setsinglesetting" || lower == "setparam") return 2;
  if (lower.rfind("getparam", 0) == 0 || lower == "getsinglesetting") return 1;
  return 0;
}

bool IsParamGetter(const std::string& lower) {
  return lower == "getparamint" || lower == "getparamdouble" || lower == "getparambool" ||
         lower == "getparamstring" || lower == "getparamdatetime" || lower == "getparambytearray";
}

bool IsKnown(const std::string& lower) {
  static const char* kLocal[] = {"version",
                                 "errorcode",
                                 "errordescription",
                                 "isopened",
                                 "getsinglesetting",
                                 "setsinglesetting",
                                 "applysinglesettings",
                                 "open",
                                 "close",
                                 "setparam",
                                 "resetparams",
                                 "utilformtlv"};
  for (const char* n : kLocal)
    if (lower == n) return true;
  return IsParamGetter(lower) || FindOperation(lower) != nullptr;
}

}  // namespace

std::unique_ptr<automation::Object> CreateVirtualRegister() {
  return std::make_unique<VirtualRegister>();
}

VirtualRegister::VirtualRegister() = default;

VirtualRegister::~VirtualRegister() {
  std::shared_ptr<Device> device;
  {
    std::lock_guard lock(mu_);
    device = std::move(device_);
  }
  if (device) {
    try {
      device->Save();
    } catch (const std::exception&) {
      // Nothing to report to at destruction; the last saved state stays.
    }
  }
}

void VirtualRegister::Record(TraceEntry entry) {
  if (traceLimit_ == 0) return;
  trace_.push_back(std::move(entry));
  while (trace_.size() > traceLimit_) trace_.pop_front();
}

Value VirtualRegister::get(std::string_view name) {
  std::lock_guard lock(mu_);
  TraceEntry entry;
  entry.kind = TraceEntry::Kind::kGet;
  entry.name = std::string(name);
  try {
    Value result;
    if (name.size() > 8 && text::EqualsIgnoreCase(name.substr(0, 8), "LIBFPTR_")) {
      auto v = ConstantValue(name);
      if (!v) throw AutomationError("Unknown name: " + std::string(name));
      result = Value(*v);
    } else {
      const std::string lower = text::AsciiLower(name);
      if (Arity(lower) != 0) throw AutomationError("Method needs arguments: " + std::string(name));
      result = Dispatch(lower, {});
    }
    entry.result = result;
    Record(std::move(entry));
    return result;
  } catch (const AutomationError& e) {
    entry.exception = e.what();
    Record(std::move(entry));
    throw;
  }
}

Value VirtualRegister::call(std::string_view name, std::span<const Value> args) {
  std::lock_guard lock(mu_);
  TraceEntry entry;
  entry.kind = TraceEntry::Kind::kCall;
  entry.name = std::string(name);
  if (traceLimit_ != 0) entry.args.assign(args.begin(), args.end());
  try {
    const std::string lower = text::AsciiLower(name);
    if (IsKnown(lower) && static_cast<int>(args.size()) != Arity(lower))
      throw AutomationError("Wrong number of arguments for " + std::string(name));
    Value result = Dispatch(lower, args);
    entry.result = result;
    Record(std::move(entry));
    return result;
  } catch (const AutomationError& e) {
    entry.exception = e.what();
    Record(std::move(entry));
    throw;
  }
}

Value VirtualRegister::Dispatch(const std::string& lower, std::span<const Value> args) {
  // Reads that change nothing.
  if (lower == "version") {
    // The library's version is read once per object, as a loaded library keeps its version.
    if (!version_) {
      try {
        version_ = LibraryVersion();
      } catch (const StateFileError& e) {
        throw AutomationError(e.what());
      }
    }
    return Value(*version_);
  }
  if (lower == "errorcode") return Value(static_cast<std::int32_t>(errorCode_));
  if (lower == "errordescription") return Value(errorDescription_);
  if (lower == "isopened") return Value(device_ != nullptr);
  if (IsParamGetter(lower)) {
    const std::int64_t id = args[0].asInt();
    auto it = outputs_.find(static_cast<int>(id));
    const bool found = id >= INT32_MIN && id <= INT32_MAX && it != outputs_.end();
    if (!found) missed_.push_back(static_cast<int>(id));
    static const Value kEmpty;
    const Value& v = found ? it->second : kEmpty;
    if (lower == "getparamint") return IntValue(OutputInt(v));
    if (lower == "getparamdouble") return Value(OutputDouble(v));
    if (lower == "getparambool") return Value(OutputBool(v));
    if (lower == "getparamstring") return Value(OutputText(v));
    if (lower == "getparamdatetime") {
      if (v.is<automation::Date>()) return v;
      return Value(automation::Date{v.is<double>() ? v.get<double>() : 0.0});
    }
    if (v.is<automation::Bytes>()) return v;
    if (v.is<std::string>()) return Value(v.asBytes());
    return Value(automation::Bytes{});
  }
  if (lower == "getsinglesetting") {
    auto it = pending_.values.find(SettingKeyOf(args[0]));
    return Value(it == pending_.values.end() ? std::string() : it->second);
  }
  if (lower == "setparam") {
    const std::int64_t id = args[0].asInt();
    if (id < 0 || id > INT32_MAX) throw AutomationError("Parameter id out of range");
    if (staged_.size() >= kMaxStaged) {
      errorCode_ = errc::kBadParam;
      errorDescription_ = "Слишком много параметров";
      return Value(static_cast<std::int32_t>(errorCode_));
    }
    staged_.emplace_back(static_cast<int>(id), args[1]);
    return Value(std::int32_t{0});
  }
  if (lower == "resetparams") {
    staged_.clear();
    return Value(std::int32_t{0});
  }

  // Everything else is an operation: it consumes the staged inputs and replaces the outputs.
  const OperationFn op = FindOperation(lower);
  const bool local = lower == "setsinglesetting" || lower == "applysinglesettings" ||
                     lower == "open" || lower == "close" || lower == "utilformtlv";
  if (!op && !local) throw AutomationError("Unknown method: " + lower);

  const std::vector<std::pair<int, Value>> inputs = std::move(staged_);
  staged_.clear();
  outputs_.clear();
  missed_.clear();
  int code = 0;
  std::string description = "Ошибок нет";
  try {
    if (lower == "setsinglesetting") {
      pending_.values[SettingKeyOf(args[0])] = args[1].asText();
    } else if (lower == "applysinglesettings") {
      std::string error;
      if (pending_.RegisterKey(&error).empty())
        Fail(errc::kBadSettings, "Неверные настройки связи: " + error);
      settings_ = pending_;
    } else if (lower == "open") {
      if (!device_) {
        std::string error;
        const std::string key = settings_.RegisterKey(&error);
        if (key.empty()) Fail(errc::kBadSettings, "Неверные настройки связи: " + error);
        try {
          device_ = Device::Open(RegisterFile(key));
        } catch (const PortBusyError&) {
          Fail(errc::kPortBusy,
               "Порт занят: ККТ уже подключена другой программой; отключите ее там и повторите");
        } catch (const std::exception& e) {
          Fail(errc::kStateFile, std::string("Нет связи с устройством: ") + e.what());
        }
        std::lock_guard dlock(device_->mutex());
        traceLimit_ = device_->state().config.traceLimit;
      }
    } else if (lower == "close") {
      selections_.clear();
      if (device_) {
        auto device = std::move(device_);
        device_.reset();
        try {
          device->Save();
        } catch (const std::exception& e) {
          Fail(errc::kStateFile, std::string("Состояние ККТ не сохранено: ") + e.what());
        }
      }
    } else if (lower == "utilformtlv") {
      automation::Bytes out;
      int count = 0;
      for (const auto& [id, v] : inputs) {
        if (!IsTagNumber(id)) continue;
        std::string error;
        auto tag = TagFromStaged(id, v, error);
        if (!tag) Fail(errc::kBadParam, error);
        auto bytes = EncodeTlv(*tag);
        out.insert(out.end(), bytes.begin(), bytes.end());
        ++count;
      }
      if (count == 0) Fail(errc::kMissingParam, "Нет реквизитов для формирования TLV");
      if (out.size() > 65535) Fail(errc::kBadParam, "Слишком длинный составной реквизит");
      outputs_[C("LIBFPTR_PARAM_TAG_VALUE")] = Value(std::move(out));
    } else {
      if (!device_) Fail(errc::kNotConnected, "Соединение не установлено");
      std::lock_guard dlock(device_->mutex());
      // One transaction per operation: it starts from what other programs committed (a changed
      // configuration, a planned fault) and ends with what this operation changed.
      try {
        device_->BeginLocked();
      } catch (const std::exception& e) {
        Fail(errc::kStateFile, std::string("Состояние ККТ недоступно: ") + e.what());
      }
      auto commit = [&](bool boundary) {
        try {
          device_->CommitLocked(boundary);
        } catch (const std::exception& e) {
          Fail(errc::kStateFile, std::string("Состояние ККТ не сохранено: ") + e.what());
        }
      };
      DeviceState& s = device_->state();
      // A planned fault of this operation.
      std::optional<Fault> fault;
      for (auto it = s.config.faults.begin(); it != s.config.faults.end(); ++it) {
        if (it->operation != "*" && !text::EqualsIgnoreCase(it->operation, lower)) continue;
        if (it->skip > 0) {
          --it->skip;
          break;
        }
        fault = *it;
        if (it->times == 1)
          s.config.faults.erase(it);
        else if (it->times > 1)
          --it->times;
        break;
      }
      if (!fault || fault->after) {
        OpContext ctx(inputs, outputs_, *device_, selections_, nextSelection_);
        try {
          op(ctx);
        } catch (const DeviceError&) {
          // A failed operation may still have ended a document (paper out after the storage
          // recorded it): that is written as well.
          if (fault) {
            try {
              device_->CommitLocked(true);
            } catch (const std::exception&) {
            }
          } else {
            commit(ctx.save);
          }
          throw;
        } catch (...) {
          device_->AbortLocked();
          throw;
        }
        if (!fault) commit(ctx.save);
      }
      if (fault) {
        if (fault->lost > 0) {
          // The link broke: this call and the next ones get no answer.
          s.config.faults.insert(s.config.faults.begin(),
                                 Fault{"*", 0, fault->lost, errc::kNotConnected, kLinkLost});
          fault->code = errc::kNotConnected;
          fault->description = kLinkLost;
        }
        try {
          device_->CommitLocked(true);
        } catch (const std::exception&) {
          // The fault is reported either way.
        }
        code = fault->code;
        description =
            fault->description.empty() ? "Ошибка, заданная для проверки" : fault->description;
        outputs_.clear();  // a failed call answers nothing
      }
    }
  } catch (const DeviceError& e) {
    code = e.code;
    description = e.description;
  }
  errorCode_ = code;
  errorDescription_ = description;
  return Value(static_cast<std::int32_t>(code));
}

std::vector<TraceEntry> VirtualRegister::Trace() const {
  std::lock_guard lock(mu_);
  return {trace_.begin(), trace_.end()};
}

void VirtualRegister::ClearTrace() {
  std::lock_guard lock(mu_);
  trace_.clear();
}

std::vector<std::string> VirtualRegister::CallNames(bool withParams) const {
  std::lock_guard lock(mu_);
  std::vector<std::string> out;
  for (const auto& e : trace_) {
    if (e.kind != TraceEntry::Kind::kCall) continue;
    const std::string lower = text::AsciiLower(e.name);
    if (!withParams && (lower == "setparam" || IsParamGetter(lower))) continue;
    out.push_back(e.name);
  }
  return out;
}

std::shared_ptr<Device> VirtualRegister::device() const {
  std::lock_guard lock(mu_);
  return device_;
}

std::vector<int> VirtualRegister::MissedOutputs() const {
  std::lock_guard lock(mu_);
  return missed_;
}

int VirtualRegister::lastErrorCode() const {
  std::lock_guard lock(mu_);
  return errorCode_;
}

std::string VirtualRegister::lastErrorDescription() const {
  std::lock_guard lock(mu_);
  return errorDescription_;
}

}  // namespace vantorel::emulator
