// Device instances: connecting a register from the host's settings document, selecting it for
// each call, the shift check, the connection test, and the clock and line length.
#include <stdexcept>

#include "protocol/driver.h"
#include "support/datetime.h"
#include "support/equipment_errors.h"
#include "support/log.h"
#include "support/text.h"
#include "support/xml.h"

namespace vantorel {

namespace {
TDevice::ObjectFactory& DeviceFactory() {
  static TDevice::ObjectFactory factory;
  return factory;
}

std::int32_t ConnectionTypeOf(std::int32_t portNumber) {
  switch (portNumber) {
    case 0:
      return 2;  // USB
    case 9998:
      return 3;  // Bluetooth
    case 9999:
      return 1;  // TCP/IP
    default:
      return 0;  // serial port COMn
  }
}

void ApplySettings(const pugi::xml_document& settings, TDeviceDriver& instance,
                   const std::u16string& deviceId) {
  const pugi::xml_node root = xml::TopElement(settings, "Parameters");
  if (!root) throw std::runtime_error("The settings document has no Parameters element");
  for (pugi::xml_node p : root.children()) {
    if (p.type() != pugi::node_element || !text::EqualsIgnoreCase(p.name(), "Parameter")) continue;
    const PropDecl* prop = TDeviceDriver::FindProperty(p.attribute("Name").value());
    if (prop == nullptr) continue;  // unknown names (and the read-only Device) are skipped
    const PropValue value = ConvertPropText(prop->Type, p.attribute("Value").value(), prop->Name);
    CopyPropertyValue(*prop, value, &instance, TDeviceDriver::Properties(), deviceId);
  }
}
}  // namespace

void TDriver::SetDeviceFactory(TDevice::ObjectFactory factory) {
  DeviceFactory() = std::move(factory);
}

TDeviceDriver& TDriver::Instance() const {
  if (FInstance == nullptr) throw std::runtime_error("Устройство не включено");
  return *FInstance;
}

void TDriver::ConnectEquipment(const pugi::xml_document& settings) {
  TCommonDriver::ConnectEquipment(settings);  // the new DeviceID
  auto owned = std::make_unique<TDeviceDriver>(DeviceFactory());
  FInstance = owned.get();
  try {
    TDeviceDriver& in = *owned;
    ApplySettings(settings, in, FDeviceID);
    SetDecimalSeparator('.');
    log::SetLogLevel(in.LogEnabled ? 3 : 0);

    TDevice& dev = in.Device();
    TConnectionSettings cs;
    cs.ConnectionType = ConnectionTypeOf(in.PortNumber);
    cs.AccessPassword = in.AccessPassword;
    cs.OperatorPassword = in.OperatorPassword;
    cs.PortNumber = in.PortNumber;
    // Settings saved without a rate (or with 0) get the settings page's default.
    cs.BaudRate = in.BaudRate != 0 ? in.BaudRate : 115200;
    cs.IPAddress = in.IPAddress;
    cs.TCPPort = in.IPPort;
    cs.OFDChannel = in.OFDChannel;
    cs.MACAddress = in.MACAddress;
    dev.Connect(cs);

    dev.PrintReportElectronically = in.EnableReportPrinting == 2;
    const TFFDVersion ffd = DetectFFDVersion(in);
    in.FFDVersion = static_cast<int>(ffd);
    dev.FFDVersion = ffd;
    dev.TimeoutRequestKM = in.TimeoutRequestKM > 0 ? in.TimeoutRequestKM : 5;
    in.LineLength =
        static_cast<std::int32_t>(dev.RunQuery(dev.Const("LIBFPTR_PARAM_DATA_TYPE"),
                                               dev.Const("LIBFPTR_DT_RECEIPT_LINE_LENGTH"),
                                               dev.Const("LIBFPTR_PARAM_RECEIPT_LINE_LENGTH"),
                                               TParamType::dtpInt, TMethodType::mtCommon)
                                      .asInt());

    // Whether the register cuts by itself after fiscal documents: setting 66, else 300.
    in.AutoCut = false;
    try {
      const std::int64_t v = automation::Value(dev.ReadSetting(std::int32_t{66})).asInt();
      in.AutoCut = v == 1 || v == 2;
    } catch (const std::exception&) {
      try {
        in.AutoCut = automation::Value(dev.ReadSetting(std::int32_t{300})).asInt() == 1;
      } catch (const std::exception&) {
        // Neither setting is readable: the driver cuts itself.
      }
    }

    dev.DisableCut = in.DisableCut;
    dev.ReceiptFontNumber = in.ReceiptFontNumber;
    dev.ReceiptUseDoubleWidth = in.ReceiptUseDoubleWidth;
    dev.ReceiptUseDoubleHeight = in.ReceiptUseDoubleHeight;
    dev.FontNumber = in.FontNumber;
    dev.UseDoubleWidth = in.UseDoubleWidth;
    dev.UseDoubleHeight = in.UseDoubleHeight;
    // Likewise the paper width: without it every picture would be refused as negative in width.
    dev.RibbonWidth = (in.RibbonWidth != 0 ? in.RibbonWidth : 78) - 10;

    // The platform follows the configuration version; a failing query is not reported.
    dev.SetParam("LIBFPTR_PARAM_DATA_TYPE", dev.Const("LIBFPTR_DT_UNIT_VERSION"));
    dev.SetParam("LIBFPTR_PARAM_UNIT_TYPE", dev.Const("LIBFPTR_UT_CONFIGURATION"));
    dev.CallUnchecked("queryData");
    in.FirmwareVersion = dev.GetParamString("LIBFPTR_PARAM_UNIT_VERSION");
    const std::string first = in.FirmwareVersion.substr(0, in.FirmwareVersion.find('.'));
    in.PlatformVer = first == "5" || in.FirmwareVersion.empty() ? TPlatformVersion::pv5
                                                                : TPlatformVersion::pvOld;

    FInstanceList.try_emplace(FDeviceID, std::move(owned));
  } catch (...) {
    FInstance = nullptr;
    throw;  // `owned` closes the session on the way out
  }
}

void TDriver::DisconnectEquipment(const std::u16string& deviceId) {
  FInstanceList.erase(deviceId);  // destroying the instance closes its session
  FInstance = nullptr;
  TCommonDriver::DisconnectEquipment(deviceId);
}

void TDriver::SelectInstance(const std::u16string& deviceId) {
  if (text::Trim(deviceId).empty()) throw std::runtime_error("Не передан идентификатор устройства");
  const auto it = FInstanceList.find(deviceId);
  if (it == FInstanceList.end()) {
    FInstance = nullptr;
    // The Latin "c" before "идентификатором" is the text hosts already know.
    throw std::runtime_error("Экземпляр устройства c идентификатором " + text::ToUtf8(deviceId) +
                             " не существует или уже был отключен");
  }
  FInstance = it->second.get();
}

TFFDVersion TDriver::DetectFFDVersion(TDeviceDriver& instance) {
  TDeviceData reg;
  instance.Device().GetRegInfo(reg);
  switch (reg.At("FFDVersionKKT").asInt()) {
    case 105:
      return TFFDVersion::ffd105;
    case 110:
      return TFFDVersion::ffd11;
    case 120:
      return TFFDVersion::ffd12;
    default:
      return TFFDVersion::ffd10;
  }
}

void TDriver::CheckShiftState(bool mustBeClosed) {
  const std::int64_t state = Device().ShiftState();
  if (mustBeClosed && state == 1) throw EquException(errors::kShiftOpen, errors::kShiftOpenText);
  if (!mustBeClosed && state == 0)
    throw EquException(errors::kShiftClosed, errors::kShiftClosedText);
  if (state == 2) throw EquException(errors::kShiftOver24Hours, errors::kShiftOver24HoursText);
}

std::u16string TDriver::GetAdditionalActions() { return TCommonDriver::GetAdditionalActions(); }

void TDriver::EquipmentTest(const pugi::xml_document& settings, std::string& description,
                            std::string& demoModeIsActivated) {
  description.clear();
  demoModeIsActivated.clear();
  try {
    ConnectEquipment(settings);
    TDeviceData state;
    Device().GetKKTState(state);
    description = state.At("MODEL_NAME").asText() + ", модель:" + state.At("MODEL").asText() +
                  ", Версия ПО:" + state.At("UNIT_VERSION").asText();
    if (Instance().EnablePrinting != 2) {
      // The description is escaped: a quote in a model name must not break the document.
      pugi::xml_document doc;
      xml::NewOutput(doc);
      auto line = doc.append_child("Document").append_child("Positions").append_child("TextString");
      xml::SetAttr(line, "Text", std::string_view(description));
      pugi::xml_document parsed;
      xml::ParseInputUtf8(xml::ToUtf8Text(doc), parsed);
      PrintTextDocument(parsed);
    }
  } catch (...) {
    DisconnectEquipment(FDeviceID);
    throw;
  }
  DisconnectEquipment(FDeviceID);
}

std::int64_t TDriver::GetLineLength() {
  TDevice& dev = Device();
  return dev
      .RunQuery(dev.Const("LIBFPTR_PARAM_DATA_TYPE"), dev.Const("LIBFPTR_DT_RECEIPT_LINE_LENGTH"),
                dev.Const("LIBFPTR_PARAM_RECEIPT_LINE_LENGTH"), TParamType::dtpInt,
                TMethodType::mtCommon)
      .asInt();
}

std::u16string TDriver::GetDateTime() {
  const automation::Date d = Device().GetDateTime();
  return text::ToUtf16(datetime::FormatIso(datetime::FromOleDate(d.days)));
}

void TDriver::SetDateTime(const std::u16string& dateTime) {
  const auto parsed = datetime::ParseIso8601(text::ToUtf8(dateTime));
  if (!parsed) throw errors::InputError("Некорректный формат даты/времени");
  Device().SetDateTime(automation::Date{datetime::ToOleDate(*parsed)});
}

}  // namespace vantorel
