#include "protocol/ecr_driver.h"

#include <cmath>
#include <stdexcept>

#include "documents/check_package.h"
#include "support/equipment_errors.h"
#include "support/text.h"
#include "support/xml.h"

namespace vantorel {

void TEcrlDriver::UpdateDriverInfo(TDriverInfo& info) {
  TCommonDriver::UpdateDriverInfo(info);
  info.EquipmentType = TEquipmentType::etECR;
  info.IntegrationComponent = false;
}

std::int64_t AmountToCurrency(double amount) {
  const double scaled = amount * 10000.0;
  if (!std::isfinite(scaled) || std::fabs(scaled) >= 9.2e18)
    throw errors::InputError("Некорректная сумма");
  return static_cast<std::int64_t>(std::nearbyint(scaled));  // the default rounding: half to even
}

template <typename Body>
bool TEcrlDriver::Adapter(V8Variant* result, V8Variant* params, Body&& body, bool document) {
  try {
    SelectInstance(V8GetWString(&params[0]));
    if (!document) SettleBeforeCall();
    body();
    SetSuccess(result);
  } catch (const EquException& e) {
    HandleException(e, result, e.Code());
  } catch (const std::exception& e) {
    HandleException(e, result, 1001);
  } catch (...) {
    HandleException(std::string("Unknown error"), result, 1001);
  }
  return true;
}

namespace {
void Parse(const V8Variant* v, pugi::xml_document& doc) { xml::ParseInput(V8GetWString(v), doc); }
}  // namespace

bool TEcrlDriver::GetDataKKTM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] {
    pugi::xml_document out;
    xml::NewOutput(out);
    GetDataKKT(out);
    V8SetWString(&params[1], xml::ToText(out));
  });
}

bool TEcrlDriver::OperationFNM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] {
    const auto type = static_cast<std::uint8_t>(V8GetInt(&params[1]) & 0xFF);
    pugi::xml_document in;
    Parse(&params[2], in);
    OperationFN(type, in);
  });
}

bool TEcrlDriver::OpenShiftM(V8Variant* result, V8Variant* params, long) {
  return DocumentAdapter(result, params, [&] {
    pugi::xml_document in, out;
    Parse(&params[1], in);
    xml::NewOutput(out);
    OpenShift(in, out);
    V8SetWString(&params[2], xml::ToText(out));
  });
}

bool TEcrlDriver::CloseShiftM(V8Variant* result, V8Variant* params, long) {
  return DocumentAdapter(result, params, [&] {
    pugi::xml_document in, out;
    Parse(&params[1], in);
    xml::NewOutput(out);
    CloseShift(in, out);
    V8SetWString(&params[2], xml::ToText(out));
  });
}

bool TEcrlDriver::ProcessCheckM(V8Variant* result, V8Variant* params, long) {
  return DocumentAdapter(result, params, [&] {
    const bool electronically = V8GetBool(&params[1]);
    pugi::xml_document in, out;
    Parse(&params[2], in);
    xml::NewOutput(out);
    ProcessCheck(electronically, in, out, false);
    V8SetWString(&params[3], xml::ToText(out));
  });
}

bool TEcrlDriver::ProcessCorrectionCheckM(V8Variant* result, V8Variant* params, long) {
  return DocumentAdapter(result, params, [&] {
    const bool electronically = V8GetBool(&params[1]);
    pugi::xml_document in, out;
    Parse(&params[2], in);
    xml::NewOutput(out);
    ProcessCorrectionCheck(electronically, in, out);
    V8SetWString(&params[3], xml::ToText(out));
  });
}

bool TEcrlDriver::PrintTextDocumentM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] {
    pugi::xml_document in;
    Parse(&params[1], in);
    PrintTextDocument(in);
  });
}

bool TEcrlDriver::CashInOutcomeM(V8Variant* result, V8Variant* params, long) {
  return DocumentAdapter(result, params, [&] {
    pugi::xml_document in;
    Parse(&params[1], in);
    // An amount given as text is read as a package sum is: text that is no number fails, it
    // never becomes 0.
    const std::int64_t amount = V8IsString(&params[2])
                                    ? package::PositionMoney(text::ToUtf8(V8GetWString(&params[2])))
                                    : AmountToCurrency(V8GetDouble(&params[2]));
    CashInOutcome(in, amount);
  });
}

bool TEcrlDriver::PrintXReportM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] {
    pugi::xml_document in;
    Parse(&params[1], in);
    PrintXReport(in);
  });
}

bool TEcrlDriver::GetCurrentStatusM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] {
    pugi::xml_document in, out;
    Parse(&params[1], in);
    xml::NewOutput(out);
    GetCurrentStatus(in, out);
    V8SetWString(&params[2], xml::ToText(out));
  });
}

bool TEcrlDriver::ReportCurrentStatusOfSettlementsM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] {
    pugi::xml_document in, out;
    Parse(&params[1], in);
    xml::NewOutput(out);
    ReportCurrentStatusOfSettlements(in, out);
    V8SetWString(&params[2], xml::ToText(out));
  });
}

bool TEcrlDriver::OpenCashDrawerM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] { OpenCashDrawer(); });
}

bool TEcrlDriver::GetLineLengthM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] {
    const std::int64_t length = GetLineLength();
    V8SetInt(&params[1], static_cast<std::int32_t>(static_cast<std::uint32_t>(length)));
  });
}

bool TEcrlDriver::PrintCheckCopyM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] { PrintCheckCopy(V8GetWString(&params[1])); });
}

bool TEcrlDriver::OpenSessionRegistrationKMM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] { OpenSessionRegistrationKM(); });
}

bool TEcrlDriver::CloseSessionRegistrationKMM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] { CloseSessionRegistrationKM(); });
}

bool TEcrlDriver::RequestKMM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] {
    pugi::xml_document in, out;
    Parse(&params[1], in);
    xml::NewOutput(out);
    RequestKM(in, out);
    V8SetWString(&params[2], xml::ToText(out));
  });
}

bool TEcrlDriver::GetProcessingKMResultM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] {
    pugi::xml_document out;
    xml::NewOutput(out);
    std::int32_t status = 0;
    GetProcessingKMResult(out, status);
    V8SetWString(&params[1], xml::ToText(out));
    V8SetInt(&params[2], status);
  });
}

bool TEcrlDriver::ConfirmKMM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] {
    const std::u16string guid = V8GetWString(&params[1]);
    ConfirmKM(guid, V8GetInt(&params[2]));
  });
}

bool TEcrlDriver::SetDateTimeM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] { SetDateTime(V8GetWString(&params[1])); });
}

bool TEcrlDriver::GetDateTimeM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] { V8SetWString(&params[1], GetDateTime()); });
}

bool TEcrlDriver::GetDocumentInformationM(V8Variant* result, V8Variant* params, long) {
  return Adapter(result, params, [&] {
    const std::int32_t number = V8GetInt(&params[1]);
    pugi::xml_document out;
    xml::NewOutput(out);
    GetDocumentInformation(number, out);
    V8SetWString(&params[2], xml::ToText(out));
  });
}

void TEcrlDriver::Declare(DriverClassInfo& info) {
  auto& m = info.Methods;
  m.push_back(ExportMeth<&TEcrlDriver::GetDataKKTM>(u"GetDataKKT", u"ПолучитьПараметрыККТ", 2));
  m.push_back(ExportMeth<&TEcrlDriver::OperationFNM>(u"OperationFN", u"ОперацияФН", 3));
  m.push_back(ExportMeth<&TEcrlDriver::OpenShiftM>(u"OpenShift", u"ОткрытьСмену", 3));
  m.push_back(ExportMeth<&TEcrlDriver::CloseShiftM>(u"CloseShift", u"ЗакрытьСмену", 3));
  m.push_back(ExportMeth<&TEcrlDriver::ProcessCheckM>(u"ProcessCheck", u"СформироватьЧек", 4));
  m.push_back(ExportMeth<&TEcrlDriver::ProcessCorrectionCheckM>(u"ProcessCorrectionCheck",
                                                                u"СформироватьЧекКоррекции", 4));
  m.push_back(ExportMeth<&TEcrlDriver::PrintTextDocumentM>(u"PrintTextDocument",
                                                           u"НапечататьТекстовыйДокумент", 2));
  m.push_back(ExportMeth<&TEcrlDriver::CashInOutcomeM>(u"CashInOutcome",
                                                       u"НапечататьЧекВнесенияВыемки", 3));
  m.push_back(
      ExportMeth<&TEcrlDriver::PrintXReportM>(u"PrintXReport", u"НапечататьОтчетБезГашения", 2));
  m.push_back(ExportMeth<&TEcrlDriver::GetCurrentStatusM>(u"GetCurrentStatus",
                                                          u"ПолучитьТекущееСостояние", 3));
  m.push_back(ExportMeth<&TEcrlDriver::ReportCurrentStatusOfSettlementsM>(
      u"ReportCurrentStatusOfSettlements", u"ОтчетОТекущемСостоянииРасчетов", 3));
  m.push_back(
      ExportMeth<&TEcrlDriver::OpenCashDrawerM>(u"OpenCashDrawer", u"ОткрытьДенежныйЯщик", 1));
  m.push_back(
      ExportMeth<&TEcrlDriver::GetLineLengthM>(u"GetLineLength", u"ПолучитьШиринуСтроки", 2));
  m.push_back(
      ExportMeth<&TEcrlDriver::PrintCheckCopyM>(u"PrintCheckCopy", u"НапечататьКопиюЧека", 2));
  m.push_back(ExportMeth<&TEcrlDriver::OpenSessionRegistrationKMM>(
      u"OpenSessionRegistrationKM", u"ОткрытьСессиюРегистрацииКМ", 1));
  m.push_back(ExportMeth<&TEcrlDriver::CloseSessionRegistrationKMM>(
      u"CloseSessionRegistrationKM", u"ЗакрытьСессиюРегистрацииКМ", 1));
  m.push_back(ExportMeth<&TEcrlDriver::RequestKMM>(u"RequestKM", u"ЗапросКМ", 3));
  m.push_back(ExportMeth<&TEcrlDriver::GetProcessingKMResultM>(u"GetProcessingKMResult",
                                                               u"ПолучитьРезультатыЗапросаКМ", 3));
  m.push_back(ExportMeth<&TEcrlDriver::ConfirmKMM>(u"ConfirmKM", u"ПодтвердитьКМ", 3));
  m.push_back(ExportMeth<&TEcrlDriver::SetDateTimeM>(u"SetDateTime", u"УстановитьДатуВремя", 2));
  m.push_back(ExportMeth<&TEcrlDriver::GetDateTimeM>(u"GetDateTime", u"ПолучитьДатуВремя", 2));
  m.push_back(ExportMeth<&TEcrlDriver::GetDocumentInformationM>(
      u"GetDocumentInformation", u"ПолучитьИнформациюПоДокументу", 3));
  TCommonDriver::Declare(info);
}

}  // namespace vantorel
