// The session core: the DTO10 object, its version check, the connection and the result check.
#include "device/device.h"

#include <stdexcept>

#include "support/product.h"

namespace vantorel {

using automation::Value;

namespace {

std::string DownloadHint() {
  return std::string("Драйвер доступен по ссылке ") + product::kDto10DownloadUrl +
         ", раздел - Программное обеспечение\\ДТО\\10.x\\";
}

std::string MissingLibraryText() {
  // The library must have the same bitness as this driver.
  return "Не установлена библиотека ДТО10. Необходимо использовать ДТО " +
         std::to_string(sizeof(void*) * 8) + "-разрядной версии.\r\n" + DownloadHint();
}

std::string OldLibraryText(const std::string& installed) {
  return "Необходимо обновить библиотеку ДТО10.\r\nТекущая установленная версия " + installed +
         ".\r\nМинимальная необходимая версия " + std::string(kDtoMinimumVersion) + ".\r\n" +
         DownloadHint();
}

// One version part: a decimal integer, else 0. A number beyond 16 bits reads as the largest one:
// a very new version must not wrap round into an old one.
std::uint16_t VersionPart(std::string_view s) {
  if (s.empty()) return 0;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > 0xFFFF) v = 0x10000;
  }
  return v > 0xFFFF ? std::uint16_t{0xFFFF} : static_cast<std::uint16_t>(v);
}

}  // namespace

TDtoVersion TDtoVersion::Parse(std::string_view text) {
  // The first two parts count only when a dot follows them ("10.10" is 10.0.0.0); the third runs
  // to the next dot or the end ("10.10.5" is 10.10.5.0); the fourth is all after the third dot
  // ("10.10.5.0.1" has the fourth part "0.1", not an integer, so 0).
  TDtoVersion v;
  std::string_view rest = text;
  for (int i = 0; i < 2; ++i) {
    const auto dot = rest.find('.');
    if (dot == std::string_view::npos) return v;
    v.part[i] = VersionPart(rest.substr(0, dot));
    rest.remove_prefix(dot + 1);
  }
  const auto dot = rest.find('.');
  v.part[2] = VersionPart(rest.substr(0, dot));
  if (dot == std::string_view::npos) return v;
  v.part[3] = VersionPart(rest.substr(dot + 1));
  return v;
}

// ---- TDeviceData

void TDeviceData::Add(std::string key, Value value) {
  if (items_.contains(key))
    throw std::runtime_error("Ключ \"" + key + "\" уже есть в наборе данных устройства");
  items_.emplace(std::move(key), std::move(value));
}

const Value& TDeviceData::At(std::string_view key) const {
  auto it = items_.find(key);
  if (it == items_.end())
    throw std::out_of_range("Нет ключа \"" + std::string(key) + "\" в наборе данных устройства");
  return it->second;
}

// ---- Session

TDevice::TDevice() : TDevice([] { return automation::CreateObject(kDtoProgId); }) {}

TDevice::TDevice(ObjectFactory factory) : factory_(std::move(factory)) {}

TDevice::~TDevice() {
  Disconnect();
  dto_.reset();
}

automation::Object& TDevice::DtoDrv() {
  if (!dto_) {
    try {
      if (factory_) dto_ = factory_();
    } catch (const std::exception&) {
      // Whatever the reason (not registered, wrong bitness, broken installation) the user's
      // remedy is the same: install the library.
    }
    if (!dto_) throw std::runtime_error(MissingLibraryText());
  }
  // Checked at every use: the library can be replaced under a running session.
  const std::string installed = dto_->get("Version").asText();
  if (TDtoVersion::Parse(installed) < TDtoVersion::Parse(kDtoMinimumVersion))
    throw std::runtime_error(OldLibraryText(installed));
  return *dto_;
}

void TDevice::SetSingleSetting(std::string_view setting, const std::string& value) {
  const Value id = Const(setting);
  DtoDrv().call("setSingleSetting", id, Value(value));
}

void TDevice::SetSingleSettingConst(std::string_view setting, std::string_view valueName) {
  SetSingleSetting(setting, std::to_string(Const(valueName).asInt()));
}

void TDevice::Connect(const TConnectionSettings& s) {
  if (s.ConnectionType == 0) {
    // The rates the settings page offers, each with its own name in the library. Checked before
    // anything is sent, so a bad setting leaves the library untouched.
    static constexpr std::int32_t kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    bool known = false;
    for (auto rate : kRates) known = known || rate == s.BaudRate;
    if (!known)
      throw std::runtime_error("Неподдерживаемая скорость обмена " + std::to_string(s.BaudRate) +
                               ". Допустимые значения: 1200, 2400, 4800, 9600, 19200, 38400, "
                               "57600, 115200");
  }
  SetSingleSettingConst("LIBFPTR_SETTING_MODEL", "LIBFPTR_MODEL_ATOL_AUTO");
  SetSingleSetting("LIBFPTR_SETTING_ACCESS_PASSWORD", s.AccessPassword);
  SetSingleSetting("LIBFPTR_SETTING_USER_PASSWORD", s.OperatorPassword);
  SetSingleSettingConst("LIBFPTR_SETTING_OFD_CHANNEL", s.OFDChannel != 0
                                                           ? "LIBFPTR_OFD_CHANNEL_PROTO"
                                                           : "LIBFPTR_OFD_CHANNEL_NONE");
  switch (s.ConnectionType) {
    case 0: {
      SetSingleSettingConst("LIBFPTR_SETTING_PORT", "LIBFPTR_PORT_COM");
      SetSingleSetting("LIBFPTR_SETTING_COM_FILE", "COM" + std::to_string(s.PortNumber));
      SetSingleSettingConst("LIBFPTR_SETTING_BAUDRATE",
                            "LIBFPTR_PORT_BR_" + std::to_string(s.BaudRate));
      SetSingleSettingConst("LIBFPTR_SETTING_BITS", "LIBFPTR_PORT_BITS_8");
      SetSingleSettingConst("LIBFPTR_SETTING_STOPBITS", "LIBFPTR_PORT_SB_1");
      SetSingleSettingConst("LIBFPTR_SETTING_PARITY", "LIBFPTR_PORT_PARITY_NO");
      break;
    }
    case 1:
      SetSingleSettingConst("LIBFPTR_SETTING_PORT", "LIBFPTR_PORT_TCPIP");
      SetSingleSetting("LIBFPTR_SETTING_IPADDRESS", s.IPAddress);
      SetSingleSetting("LIBFPTR_SETTING_IPPORT", std::to_string(s.TCPPort));
      break;
    case 2:
      SetSingleSettingConst("LIBFPTR_SETTING_PORT", "LIBFPTR_PORT_USB");
      break;
    case 3:
      SetSingleSettingConst("LIBFPTR_SETTING_PORT", "LIBFPTR_PORT_BLUETOOTH");
      SetSingleSetting("LIBFPTR_SETTING_MACADDRESS", s.MACAddress);
      break;
    default:
      break;
  }
  Call("applySingleSettings");
  Call("open");
}

void TDevice::Disconnect() noexcept {
  if (!dto_) return;
  try {
    // Not checked: a session must be able to end whatever the library says.
    DtoDrv().call("Close");
  } catch (const std::exception&) {
  }
}

void TDevice::GetResult(std::int64_t codeError) {
  if (codeError == 0) return;
  const std::string code = DtoDrv().get("errorCode").asText();
  const std::string description = DtoDrv().get("errorDescription").asText();
  throw std::runtime_error("[" + code + "] - " + description + " ");
}

// ---- DTO10 calls

Value TDevice::Const(std::string_view name) { return DtoDrv().get(name); }

void TDevice::Call(std::string_view method) { GetResult(CallUnchecked(method)); }

std::int64_t TDevice::CallUnchecked(std::string_view method) {
  return DtoDrv().call(method).asInt();
}

void TDevice::SetParam(std::string_view name, const Value& value) {
  SetParamId(Const(name), value);
}

void TDevice::SetTag(std::int32_t tag, const Value& value) { SetParamId(Value(tag), value); }

namespace {
// DTO10 takes its integers as 32-bit values: a wider one is narrowed when it fits, and refused
// rather than cut when it does not.
Value Int32Argument(const Value& v) {
  if (!v.is<std::int64_t>()) return v;
  const std::int64_t i = v.get<std::int64_t>();
  if (i < INT32_MIN || i > INT32_MAX)
    throw std::runtime_error("Целое значение вне допустимого диапазона: " + std::to_string(i));
  return Value(static_cast<std::int32_t>(i));
}
}  // namespace

void TDevice::SetParamId(const Value& id, const Value& value) {
  DtoDrv().call("setParam", Int32Argument(id), Int32Argument(value));
}

Value TDevice::GetParam(TParamType type, std::string_view name) {
  return GetParamId(type, Const(name));
}

Value TDevice::GetParamId(TParamType type, const Value& id) {
  switch (type) {
    case TParamType::dtpString:
      return Value(DtoDrv().call("getParamString", id).asText());
    case TParamType::dtpInt:
      return Value(DtoDrv().call("getParamInt", id).asInt());
    case TParamType::dtpDouble:
      return Value(DtoDrv().call("getParamDouble", id).asDouble());
    case TParamType::dtpBool:
      return Value(DtoDrv().call("getParamBool", id).asBool());
    case TParamType::dtpDateTime:
      return Value(DtoDrv().call("getParamDateTime", id).asDate());
  }
  throw std::logic_error("unknown parameter type");
}

std::int64_t TDevice::GetParamInt(std::string_view name) {
  return GetParam(TParamType::dtpInt, name).get<std::int64_t>();
}
double TDevice::GetParamDouble(std::string_view name) {
  return GetParam(TParamType::dtpDouble, name).get<double>();
}
bool TDevice::GetParamBool(std::string_view name) {
  return GetParam(TParamType::dtpBool, name).get<bool>();
}
std::string TDevice::GetParamString(std::string_view name) {
  return GetParam(TParamType::dtpString, name).get<std::string>();
}
automation::Date TDevice::GetParamDateTime(std::string_view name) {
  return GetParam(TParamType::dtpDateTime, name).get<automation::Date>();
}
automation::Bytes TDevice::GetParamByteArray(std::string_view name) {
  const Value id = Const(name);
  return DtoDrv().call("getParamByteArray", id).asBytes();
}

// ---- Device settings and clock

std::string TDevice::ReadSetting(const Value& settingId) {
  SetParam("LIBFPTR_PARAM_SETTING_ID", settingId);
  Call("readDeviceSetting");
  return GetParamString("LIBFPTR_PARAM_SETTING_VALUE");
}

automation::Date TDevice::GetDateTime() {
  const Value dataType = Const("LIBFPTR_PARAM_DATA_TYPE");
  SetParamId(dataType, Const("LIBFPTR_DT_DATE_TIME"));
  CallUnchecked("queryData");
  return GetParamDateTime("LIBFPTR_PARAM_DATE_TIME");
}

void TDevice::SetDateTime(automation::Date dateTime) {
  SetParam("LIBFPTR_PARAM_DATE_TIME", Value(dateTime));
  Call("writeDateTime");
}

}  // namespace vantorel
