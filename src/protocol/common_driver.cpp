#include "protocol/common_driver.h"

#include <stdexcept>

#include "platform/platform.h"
#include "platform/viewers.h"
#include "support/log.h"
#include "support/markdown_renderer.h"
#include "support/product.h"
#include "support/text.h"
#include "support/xml.h"

namespace vantorel {

std::string EquipmentTypeName(TEquipmentType type) {
  static const char* const kNames[] = {
      "СканерШтрихкода",       "СчитывательМагнитныхКарт", "ФискальныйРегистратор",
      "ПринтерЧеков",          "ПринтерЭтикеток",          "ДисплейПокупателя",
      "ТерминалСбораДанных",   "ЭквайринговыйТерминал",    "ЭлектронныеВесы",
      "ВесыСПечатьюЭтикеток",  "СчитывательRFID",          "ККТ",
      "Видеокамера",           "ЭлектронныйЗамок",         "НеизвестныйТипОборудования"};
  const auto i = static_cast<unsigned>(type);
  if (i >= std::size(kNames)) throw std::runtime_error("Enum value unacceptable");
  return kNames[i];
}

TDriverInfo& DriverInfo() {
  static TDriverInfo info;
  return info;
}

std::string LibraryVersionText() {
  const platform::FileVersion v = platform::ModuleVersion();
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." +
         std::to_string(v.release) + "." + std::to_string(v.build);
}

TCommonDriver::TCommonDriver() { UpdateDriverInfo(DriverInfo()); }

void TCommonDriver::UpdateDriverInfo(TDriverInfo& info) {
  info.EquipmentType = TEquipmentType::etUnknown;
  info.IntegrationComponent = false;
  info.MainDriverInstalled = false;
  info.LogIsEnabled = false;
  info.DownloadURL = product::kDownloadUrl;
  info.DriverVersion = LibraryVersionText();
  info.IntegrationComponentVersion = info.DriverVersion;
}

void TCommonDriver::RegisterDriver(CreateProc create, const DriverClassInfo& classInfo,
                                   const std::u16string& extension, const std::string& name,
                                   const std::string& description) {
  TCustomDriver::RegisterDriver(create, classInfo, extension);
  DriverInfo().Name = name;
  DriverInfo().Description = description;
  log::SetLogBaseName(text::ToUtf8(extension));
}

void TCommonDriver::Declare(DriverClassInfo& info) {
  auto& m = info.Methods;
  m.push_back(ExportMeth<&TCommonDriver::GetInterfaceRevision>(u"GetInterfaceRevision",
                                                               u"ПолучитьРевизиюИнтерфейса", 0));
  m.push_back(ExportMeth<&TCommonDriver::GetDescription>(u"GetDescription", u"ПолучитьОписание", 1));
  m.push_back(ExportMeth<&TCommonDriver::GetLastError>(u"GetLastError", u"ПолучитьОшибку", 1));
  m.push_back(ExportMeth<&TCommonDriver::ConnectEquipmentM>(u"ConnectEquipment",
                                                            u"ПодключитьОборудование", 3));
  m.push_back(ExportMeth<&TCommonDriver::DisconnectEquipmentM>(u"DisconnectEquipment",
                                                               u"ОтключитьОборудование", 1));
  m.push_back(ExportMeth<&TCommonDriver::EquipmentParameters>(u"EquipmentParameters",
                                                              u"ПараметрыОборудования", 2));
  m.push_back(ExportMeth<&TCommonDriver::SetParameter>(u"SetParameter", u"УстановитьПараметр", 2));
  m.push_back(ExportMeth<&TCommonDriver::EquipmentTestM>(u"EquipmentTest",
                                                         u"ТестированиеОборудования", 4));
  m.push_back(ExportMeth<&TCommonDriver::GetAdditionalActionsM>(
      u"GetAdditionalActions", u"ПолучитьДополнительныеДействия", 1));
  m.push_back(ExportMeth<&TCommonDriver::DoAdditionalAction>(
      u"DoAdditionalAction", u"ВыполнитьДополнительноеДействие", 1));
  m.push_back(ExportMeth<&TCommonDriver::EquipmentAutoSetup>(u"EquipmentAutoSetup",
                                                             u"АвтонастройкаОборудования", 5));
  m.push_back(ExportMeth<&TCommonDriver::SetApplicationInformation>(
      u"SetApplicationInformation", u"УстановитьИнформациюПриложения", 1));
  m.push_back(ExportMeth<&TCommonDriver::GetLocalizationPattern>(u"GetLocalizationPattern",
                                                                 u"ПолучитьШаблонЛокализации", 1));
  m.push_back(ExportMeth<&TCommonDriver::SetLocalization>(u"SetLocalization",
                                                          u"УстановитьЛокализацию", 2));
  m.push_back(AdditionalAction<&TCommonDriver::ViewLog>(u"ViewLog", u"Просмотр лога"));
  m.push_back(AdditionalAction<&TCommonDriver::ShowHelp>(u"ShowHelp", u"Справка"));

  PropDecl logEnabled;
  logEnabled.Name = u"LogEnabled";
  logEnabled.Type = PropType::Bool;
  logEnabled.Get = [](const void* self) -> PropValue {
    return static_cast<const TCommonDriver*>(static_cast<const TCustomDriver*>(self))->LogEnabled();
  };
  logEnabled.Set = [](void* self, const PropValue& v) {
    static_cast<TCommonDriver*>(static_cast<TCustomDriver*>(self))->SetLogEnabled(std::get<bool>(v));
  };
  logEnabled.Exported = true;
  logEnabled.NameLoc = u"ЛогВключен";
  logEnabled.Caption = u"Вести лог";
  logEnabled.DefValue = u"False";
  info.Properties.push_back(logEnabled);
}

bool TCommonDriver::LogEnabled() const { return log::LogLevel() != 0; }
void TCommonDriver::SetLogEnabled(bool on) { log::SetLogLevel(on ? 3 : 0); }

// ---------------------------------------------------------------- default operations

void TCommonDriver::ConnectEquipment(const pugi::xml_document&) {
  FDeviceID = text::ToUtf16(platform::NewGuid());
}

void TCommonDriver::DisconnectEquipment(const std::u16string&) { FDeviceID.clear(); }

void TCommonDriver::EquipmentTest(const pugi::xml_document& settings, std::string& description,
                                  std::string&) {
  try {
    ConnectEquipment(settings);
    description = text::ToUtf8(DescriptionText());
  } catch (const std::exception& e) {
    description = e.what();
    DisconnectEquipment(FDeviceID);
    throw std::runtime_error(description);
  }
  DisconnectEquipment(FDeviceID);
}

std::u16string TCommonDriver::SettingsPageText() {
  const std::string_view page = platform::Resource("PARAMETERS");
  pugi::xml_document doc;
  if (!page.empty()) {
    xml::ParseInputUtf8(page, doc);
    return xml::ToText(doc);
  }
  // Without the resource, a page is built from the exported properties.
  xml::NewOutput(doc);
  auto settings = doc.append_child("Settings");
  auto pg = settings.append_child("Page");
  xml::SetAttr(pg, "Caption", std::string_view("Параметры"));
  for (const PropDecl& p : ClassInfo().Properties) {
    if (!p.Exported) continue;
    auto param = pg.append_child("Parameter");
    xml::SetAttr(param, "Name", std::string_view(text::ToUtf8(p.Name)));
    xml::SetAttr(param, "Caption", std::string_view(text::ToUtf8(p.Caption)));
    const char* type = "Unknown";
    switch (p.Type) {
      case PropType::Int32:
      case PropType::Int64:
      case PropType::UInt8:
      case PropType::Double:
        type = "Number";
        break;
      case PropType::String:
        type = "String";
        break;
      case PropType::Bool:
        type = "Boolean";
        break;
      default:
        break;
    }
    xml::SetAttr(param, "TypeValue", std::string_view(type));
    xml::SetAttr(param, "DefaultValue", std::string_view(text::ToUtf8(p.DefValue)));
    xml::SetAttr(param, "ReadOnly", p.ReadOnly);
  }
  return xml::ToText(doc);
}

std::u16string TCommonDriver::DescriptionText() {
  const TDriverInfo& info = DriverInfo();
  pugi::xml_document doc;
  xml::NewOutput(doc);
  auto d = doc.append_child("DriverDescription");
  xml::SetAttr(d, "Name", std::string_view(info.Name));
  xml::SetAttr(d, "Description", std::string_view(info.Description));
  xml::SetAttr(d, "EquipmentType", std::string_view(EquipmentTypeName(info.EquipmentType)));
  xml::SetAttr(d, "IntegrationComponent", info.IntegrationComponent);
  xml::SetAttr(d, "MainDriverInstalled", info.MainDriverInstalled);
  xml::SetAttr(d, "DriverVersion", std::string_view(info.DriverVersion));
  xml::SetAttr(d, "IntegrationComponentVersion", std::string_view(info.IntegrationComponentVersion));
  xml::SetAttr(d, "DownloadURL", std::string_view(info.DownloadURL));
  xml::SetAttr(d, "LogIsEnabled", LogEnabled());
  // A log folder that cannot be made is log trouble, not a failed description.
  xml::SetAttr(d, "LogPath", std::string_view(log::LogDirectoryName()));
  return xml::ToText(doc);
}

std::u16string TCommonDriver::GetAdditionalActions() {
  pugi::xml_document doc;
  xml::NewOutput(doc);
  auto actions = doc.append_child("Actions");
  for (const MethodDecl& m : ClassInfo().Methods) {
    if (!m.Action) continue;
    auto a = actions.append_child("Action");
    xml::SetAttr(a, "Name", std::string_view(text::ToUtf8(m.Name)));
    xml::SetAttr(a, "Caption", std::string_view(text::ToUtf8(m.Caption)));
  }
  return xml::ToText(doc);
}

void TCommonDriver::RunAdditionalAction(const std::u16string& name) {
  for (const MethodDecl& m : ClassInfo().Methods) {
    if (m.Action && m.Name == name) {
      m.Run(*this);
      return;
    }
  }
  throw std::runtime_error("Action not found");
}

void TCommonDriver::ViewLog() { platform::ShowLogViewer(log::GetLogDirectory()); }

void TCommonDriver::ShowHelp() { TMarkdownRenderer::Render("help", "Справка"); }

// ---------------------------------------------------------------- exported methods

bool TCommonDriver::GetInterfaceRevision(V8Variant* result, V8Variant*, long) {
  if (result != nullptr) V8SetInt(result, product::kInterfaceRevision);
  return true;
}

bool TCommonDriver::GetDescription(V8Variant* result, V8Variant* params, long) {
  return Guard(result, 1001, [&] { V8SetWString(&params[0], DescriptionText()); });
}

bool TCommonDriver::GetLastError(V8Variant* result, V8Variant* params, long) {
  if (result != nullptr) V8SetInt(result, FLastResult.HostErrorCode());
  V8SetWString(&params[0], std::u16string_view(FLastResult.ErrorDescription));
  return true;
}

bool TCommonDriver::ConnectEquipmentM(V8Variant* result, V8Variant* params, long) {
  return Guard(result, 1001, [&] {
    pugi::xml_document settings;
    xml::ParseInput(V8GetWString(&params[2]), settings);
    ConnectEquipment(settings);
    V8SetWString(&params[0], std::u16string_view(FDeviceID));
  });
}

bool TCommonDriver::DisconnectEquipmentM(V8Variant* result, V8Variant* params, long) {
  return Guard(result, 1001, [&] { DisconnectEquipment(V8GetWString(&params[0])); });
}

bool TCommonDriver::EquipmentParameters(V8Variant* result, V8Variant* params, long) {
  return Guard(result, 1001, [&] { V8SetWString(&params[1], SettingsPageText()); });
}

bool TCommonDriver::SetParameter(V8Variant* result, V8Variant* params, long) {
  return Guard(result, 1001, [&] { PropertySet(V8GetWString(&params[0]), &params[1]); });
}

bool TCommonDriver::EquipmentTestM(V8Variant* result, V8Variant* params, long count) {
  const auto endLine = [&] {
    std::u16string detail;
    if (result != nullptr) detail = u"Result=" + V8VarToStr(result) + u"; ";
    detail += u"Params: " + RenderParamList(params, count, log::Writes(log::Level::Debug));
    log::WriteLog("< EquipmentTest", text::ToUtf8(detail), log::Level::Debug);
  };
  try {
    pugi::xml_document settings;
    xml::ParseInput(V8GetWString(&params[1]), settings);
    const pugi::xml_node root = xml::TopElement(settings, "Parameters");
    if (!root) throw std::runtime_error("The settings document has no Parameters element");
    // Logging asked for in the settings covers the test itself.
    for (pugi::xml_node p : root.children()) {
      if (!text::EqualsIgnoreCase(p.name(), "Parameter")) continue;
      if (!text::EqualsIgnoreCase(p.attribute("Name").value(), "LogEnabled")) continue;
      if (text::AsciiLower(text::Trim(p.attribute("Value").value())) == "true") {
        log::SetLogLevel(3);
        log::WriteLog("> EquipmentTest",
                      "Params: " + text::ToUtf8(RenderParamList(params, count, true)),
                      log::Level::Debug);
        break;
      }
    }
    std::string description, demo;
    EquipmentTest(settings, description, demo);
    V8SetWString(&params[2], std::string_view(description));
    V8SetWString(&params[3], std::string_view(demo));
    SetSuccess(result);
    endLine();
  } catch (const std::exception& e) {
    HandleException(e, result, 1001);
    endLine();
    V8SetWString(&params[2], std::string_view(e.what()));
  }
  return true;
}

bool TCommonDriver::GetAdditionalActionsM(V8Variant* result, V8Variant* params, long) {
  return Guard(result, 1001, [&] { V8SetWString(&params[0], GetAdditionalActions()); });
}

bool TCommonDriver::DoAdditionalAction(V8Variant* result, V8Variant* params, long) {
  return Guard(result, 1001, [&] { RunAdditionalAction(V8GetWString(&params[0])); });
}

// No automatic setup exists for a register; the host only needs the call to succeed. The
// out parameter is left as the host passed it.
bool TCommonDriver::EquipmentAutoSetup(V8Variant* result, V8Variant*, long) {
  return Guard(result, 1001, [] {});
}

bool TCommonDriver::SetApplicationInformation(V8Variant* result, V8Variant*, long) {
  return Guard(result, 1001, [] {});
}

bool TCommonDriver::GetLocalizationPattern(V8Variant* result, V8Variant* params, long) {
  return Guard(result, 1001, [&] {
    pugi::xml_document doc;
    xml::NewOutput(doc);
    V8SetWString(&params[0], xml::ToText(doc));
  });
}

bool TCommonDriver::SetLocalization(V8Variant* result, V8Variant*, long) {
  return Guard(result, 1001, [] {});
}

}  // namespace vantorel
