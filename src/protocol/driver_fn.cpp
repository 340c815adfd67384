// The table of the register's registration parameters, and registration, re-registration and
// closing of the fiscal storage.
#include <charconv>

#include "protocol/driver.h"
#include "support/datetime.h"
#include "support/equipment_errors.h"
#include "support/text.h"
#include "support/xml.h"

namespace vantorel {

namespace {

// "0,2" for bits 0 and 2 of the low byte, up to `lastBit`; empty when no bit is set.
std::string BitList(std::int64_t value, int lastBit) {
  std::string out;
  for (int i = 0; i <= lastBit; ++i) {
    if ((value & 0xFF & (1 << i)) == 0) continue;
    if (!out.empty()) out += ',';
    out += static_cast<char>('0' + i);
  }
  return out;
}

std::string VersionText(const automation::Value& v) {
  std::int64_t n = 0;
  try {
    n = v.asInt();
  } catch (const std::exception&) {
    const std::string t = text::Trim(v.asText());
    if (std::from_chars(t.data(), t.data() + t.size(), n).ptr != t.data() + t.size()) n = 0;
  }
  switch (n) {
    case 100:
      return "1.0";
    case 105:
      return "1.0.5";
    case 120:
      return "1.2";
    default:
      return "1.1";
  }
}

// A reader's value as the table writes it: Booleans true/false, everything else as text.
std::string TableText(const automation::Value& v) {
  if (v.is<bool>()) return v.get<bool>() ? "true" : "false";
  return v.asText();
}

constexpr const char* kTextAttributes[] = {
    "FFDVersion",  "RegistrationLabelCodes", "KKTNumber",       "CompanyName", "INN",
    "SaleAddress", "SaleLocation",           "TaxationSystems", "AgentTypes",  "AutomaticNumber",
    "OFDCompany",  "OFDCompanyINN",          "SenderEmail",     "FNSURL"};
constexpr const char* kFlagAttributes[] = {
    "IsOffline", "IsEncrypted", "IsAutomatic", "IsOnline",   "IsAutomaticPrinter",
    "IsService", "BSOSing",     "IsExcisable", "IsGambling", "IsLottery",
    "IsMarking", "IsPawnshop",  "IsAssurance"};

}  // namespace

void TDriver::GetDataKKT(pugi::xml_document& table) {
  TDeviceDriver& in = Instance();
  TDevice& dev = in.Device();
  pugi::xml_node p = table.append_child("Parameters");
  const auto put = [&](const char* name, const std::string& value) {
    xml::SetAttr(p, name, std::string_view(value));
  };

  TDeviceData state;
  dev.GetKKTState(state);
  put("Fiscal", TableText(state.At("FN_FISCAL")));
  put("KKTSerialNumber", TableText(state.At("SERIAL_NUMBER")));

  TDeviceData reg;
  dev.GetRegInfo(reg);
  for (const char* key : {"KKTNumber", "CompanyName", "INN", "SaleLocation", "SaleAddress"})
    put(key, TableText(reg.At(key)));
  put("TaxationSystems", BitList(reg.At("TaxationSystems").asInt(), 5));
  for (const char* key : {"IsEncrypted", "IsOffline", "IsAutomatic", "IsService", "IsOnline"})
    put(key, TableText(reg.At(key)));
  put("AgentTypes", BitList(reg.At("AgentTypes").asInt(), 6));
  for (const char* key :
       {"IsLottery", "IsGambling", "IsExcisable", "BSOSing", "AutomaticNumber",
        "IsAutomaticPrinter", "OFDCompany", "OFDCompanyINN", "FNSURL", "SenderEmail", "IsMarking",
        "IsPawnshop", "IsAssurance", "IsCateringServices", "IsWholesaleTrade", "IsVendingMachine"})
    put(key, TableText(reg.At(key)));
  put("PermissiveMarking", "true");
  put("FirmwareVersion", "");

  // The storage information and the format versions share one dictionary: their keys differ.
  TDeviceData fn;
  dev.GetFNInfo(fn);
  put("FNSerialNumber", TableText(fn.At("SERIAL_NUMBER")));
  dev.GetFFDVersions(fn);
  put("FFDVersionKKT", VersionText(fn.At("KKT_FFD_VERSION")));
  put("FFDVersionFN", VersionText(fn.At("FN_FFD_VERSION")));
  put("FFDVersion", VersionText(fn.At("FFD_VERSION")));

  TDeviceData last;
  dev.GetFNLastRegistration(last);
  put("DocumentNumber", TableText(last.At("DOCUMENT_NUMBER")));
  put("DateTime", datetime::FormatIso(datetime::FromOleDate(last.At("DATE_TIME").asDate().days)));

  in.IsOffline = reg.At("IsOffline").asBool();
}

void TDriver::OperationFN(std::uint8_t operationType, const pugi::xml_document& parametersFiscal) {
  TDevice& dev = Device();
  dev.CancelReceipt();
  const pugi::xml_node root = parametersFiscal.document_element();
  if (!root) throw errors::InputError();
  TDeviceData data;
  for (const char* name : kTextAttributes)
    data.Add(name, std::string(root.attribute(name).value()));
  for (const char* name : kFlagAttributes)
    data.Add(name, text::EqualsIgnoreCase(root.attribute(name).value(), "true"));
  dev.FNOperation(operationType, data);
  CutAfterDocument(false, true);
}

}  // namespace vantorel
