// One-value queries and the readers that collect status, registration, storage and format data.
#include "device/device.h"

namespace vantorel {

using automation::Value;

namespace {
constexpr auto S = TParamType::dtpString;
constexpr auto I = TParamType::dtpInt;
constexpr auto D = TParamType::dtpDouble;
constexpr auto B = TParamType::dtpBool;
constexpr auto T = TParamType::dtpDateTime;
}  // namespace

Value TDevice::RunQuery(const Value& queryType, const Value& queryValue, const Value& paramId,
                        TParamType paramType, TMethodType methodType) {
  SetParamId(queryType, queryValue);
  Call(methodType == TMethodType::mtFN ? "fnQueryData" : "queryData");
  return GetParamId(paramType, paramId);
}

std::string TDevice::RunQueryTag(const Value& queryType, const Value& queryValue, const Value& tag,
                                 const Value& tagValue) {
  SetParamId(queryType, queryValue);
  SetParamId(tag, tagValue);
  Call("fnQueryData");
  return GetParamString("LIBFPTR_PARAM_TAG_VALUE");
}

void TDevice::RunReader(TDeviceData& data, const char* queryTypeName, const char* queryValueName,
                        TMethodType method, std::span<const ReaderField> fields) {
  const Value queryType = Const(queryTypeName);
  SetParamId(queryType, Const(queryValueName));
  Call(method == TMethodType::mtFN ? "fnQueryData" : "queryData");
  for (const auto& f : fields) {
    const Value id = f.output ? Const(f.output) : Value(f.tag);
    data.Add(f.key, GetParamId(f.type, id));
  }
}

void TDevice::GetKKTState(TDeviceData& data) {
  static constexpr ReaderField kFields[] = {
      {"OPERATOR_ID", "LIBFPTR_PARAM_OPERATOR_ID", 0, I},
      {"LOGICAL_NUMBER", "LIBFPTR_PARAM_LOGICAL_NUMBER", 0, I},
      {"DATE_TIME", "LIBFPTR_PARAM_DATE_TIME", 0, T},
      {"FISCAL", "LIBFPTR_PARAM_FISCAL", 0, B},
      {"FN_FISCAL", "LIBFPTR_PARAM_FN_FISCAL", 0, B},
      {"FN_PRESENT", "LIBFPTR_PARAM_FN_PRESENT", 0, B},
      {"SHIFT_STATE", "LIBFPTR_PARAM_SHIFT_STATE", 0, I},
      {"CASHDRAWER_OPENED", "LIBFPTR_PARAM_CASHDRAWER_OPENED", 0, B},
      {"RECEIPT_PAPER_PRESENT", "LIBFPTR_PARAM_RECEIPT_PAPER_PRESENT", 0, B},
      {"COVER_OPENED", "LIBFPTR_PARAM_COVER_OPENED", 0, B},
      {"SERIAL_NUMBER", "LIBFPTR_PARAM_SERIAL_NUMBER", 0, S},
      {"MODEL", "LIBFPTR_PARAM_MODEL", 0, I},
      {"MODE", "LIBFPTR_PARAM_MODE", 0, I},
      {"SUBMODE", "LIBFPTR_PARAM_SUBMODE", 0, I},
      {"RECEIPT_NUMBER", "LIBFPTR_PARAM_RECEIPT_NUMBER", 0, I},
      {"DOCUMENT_NUMBER", "LIBFPTR_PARAM_DOCUMENT_NUMBER", 0, I},
      {"SHIFT_NUMBER", "LIBFPTR_PARAM_SHIFT_NUMBER", 0, I},
      {"RECEIPT_TYPE", "LIBFPTR_PARAM_RECEIPT_TYPE", 0, I},
      {"RECEIPT_SUM", "LIBFPTR_PARAM_RECEIPT_SUM", 0, D},
      {"RECEIPT_LINE_LENGTH", "LIBFPTR_PARAM_RECEIPT_LINE_LENGTH", 0, I},
      {"LINE_LENGTH_PIX", "LIBFPTR_PARAM_RECEIPT_LINE_LENGTH_PIX", 0, I},
      {"MODEL_NAME", "LIBFPTR_PARAM_MODEL_NAME", 0, S},
      {"UNIT_VERSION", "LIBFPTR_PARAM_UNIT_VERSION", 0, S},
      {"PRINTER_CONNECTION_LOST", "LIBFPTR_PARAM_PRINTER_CONNECTION_LOST", 0, B},
      {"PRINTER_ERROR", "LIBFPTR_PARAM_PRINTER_ERROR", 0, B},
      {"CUT_ERROR", "LIBFPTR_PARAM_CUT_ERROR", 0, B},
      {"PRINTER_OVERHEAT", "LIBFPTR_PARAM_PRINTER_OVERHEAT", 0, B},
      {"BLOCKED", "LIBFPTR_PARAM_BLOCKED", 0, B},
  };
  RunReader(data, "LIBFPTR_PARAM_DATA_TYPE", "LIBFPTR_DT_STATUS", TMethodType::mtCommon, kFields);
}

void TDevice::GetRegInfo(TDeviceData& data) {
  static constexpr ReaderField kFields[] = {
      {"FNSURL", nullptr, 1060, S},
      {"SaleAddress", nullptr, 1009, S},
      {"INN", nullptr, 1018, S},
      {"CompanyName", nullptr, 1048, S},
      {"TaxationSystems", nullptr, 1062, I},
      {"SenderEmail", nullptr, 1117, S},
      {"AgentTypes", nullptr, 1057, I},
      {"SaleLocation", nullptr, 1187, S},
      {"KKTNumber", nullptr, 1037, S},
      {"FFDVersionKKT", nullptr, 1209, I},
      {"IsAutomatic", nullptr, 1001, B},
      {"AutomaticNumber", nullptr, 1036, S},
      {"IsOffline", nullptr, 1002, B},
      {"IsEncrypted", nullptr, 1056, B},
      {"IsOnline", nullptr, 1108, B},
      {"IsService", nullptr, 1109, B},
      {"BSOSing", nullptr, 1110, B},
      {"IsLottery", nullptr, 1126, B},
      {"IsGambling", nullptr, 1193, B},
      {"IsExcisable", nullptr, 1207, B},
      {"IsAutomaticPrinter", nullptr, 1221, B},
      {"OFDCompanyINN", nullptr, 1017, S},
      {"OFDCompany", nullptr, 1046, S},
      {"IsMarking", "LIBFPTR_PARAM_TRADE_MARKED_PRODUCTS", 0, B},
      {"IsPawnshop", "LIBFPTR_PARAM_PAWN_SHOP_ACTIVITY", 0, B},
      {"IsAssurance", "LIBFPTR_PARAM_INSURANCE_ACTIVITY", 0, B},
      {"IsCateringServices", "LIBFPTR_PARAM_CATERING", 0, B},
      {"IsWholesaleTrade", "LIBFPTR_PARAM_WHOLESALE", 0, B},
      {"IsVendingMachine", "LIBFPTR_PARAM_VENDING", 0, B},
  };
  RunReader(data, "LIBFPTR_PARAM_FN_DATA_TYPE", "LIBFPTR_FNDT_REG_INFO", TMethodType::mtFN,
            kFields);
}

void TDevice::GetFNInfo(TDeviceData& data) {
  static constexpr ReaderField kFields[] = {
      {"SERIAL_NUMBER", "LIBFPTR_PARAM_SERIAL_NUMBER", 0, S},
      {"FN_VERSION", "LIBFPTR_PARAM_FN_VERSION", 0, S},
      {"FN_TYPE", "LIBFPTR_PARAM_FN_TYPE", 0, I},
      {"FN_STATE", "LIBFPTR_PARAM_FN_STATE", 0, I},
      {"FN_FLAGS", "LIBFPTR_PARAM_FN_FLAGS", 0, I},
      {"FN_NEED_REPLACEMENT", "LIBFPTR_PARAM_FN_NEED_REPLACEMENT", 0, B},
      {"FN_RESOURCE_EXHAUSTED", "LIBFPTR_PARAM_FN_RESOURCE_EXHAUSTED", 0, B},
      {"FN_MEMORY_OVERFLOW", "LIBFPTR_PARAM_FN_MEMORY_OVERFLOW", 0, B},
      {"FN_OFD_TIMEOUT", "LIBFPTR_PARAM_FN_OFD_TIMEOUT", 0, B},
      {"FN_CRITICAL_ERROR", "LIBFPTR_PARAM_FN_CRITICAL_ERROR", 0, B},
  };
  RunReader(data, "LIBFPTR_PARAM_FN_DATA_TYPE", "LIBFPTR_FNDT_FN_INFO", TMethodType::mtFN, kFields);
}

void TDevice::GetFFDVersions(TDeviceData& data) {
  static constexpr ReaderField kFields[] = {
      {"KKT_FFD_VERSION", "LIBFPTR_PARAM_DEVICE_FFD_VERSION", 0, S},
      {"FN_FFD_VERSION", "LIBFPTR_PARAM_FN_FFD_VERSION", 0, S},
      {"FFD_VERSION", "LIBFPTR_PARAM_FFD_VERSION", 0, S},
  };
  RunReader(data, "LIBFPTR_PARAM_FN_DATA_TYPE", "LIBFPTR_FNDT_FFD_VERSIONS", TMethodType::mtFN,
            kFields);
}

void TDevice::GetFNLastRegistration(TDeviceData& data) {
  static constexpr ReaderField kFields[] = {
      {"DOCUMENT_NUMBER", "LIBFPTR_PARAM_DOCUMENT_NUMBER", 0, S},
      {"REGISTRATIONS_COUNT", "LIBFPTR_PARAM_REGISTRATIONS_COUNT", 0, S},
      {"DATE_TIME", "LIBFPTR_PARAM_DATE_TIME", 0, T},
  };
  RunReader(data, "LIBFPTR_PARAM_FN_DATA_TYPE", "LIBFPTR_FNDT_LAST_REGISTRATION", TMethodType::mtFN,
            kFields);
}

}  // namespace vantorel
