#include "protocol/driver.h"

#include <stdexcept>

#include "support/product.h"
#include "support/text.h"

namespace vantorel {

namespace {
[[noreturn]] void NotYet(const char* operation) {
  throw std::runtime_error(std::string("Операция ") + operation +
                           " пока не поддерживается этой версией драйвера");
}
}  // namespace

TDriver::TDriver() = default;
TDriver::~TDriver() = default;

std::unique_ptr<TV8UserObject> TDriver::Create() { return std::make_unique<TDriver>(); }

const DriverClassInfo& TDriver::Info() {
  static const DriverClassInfo info = [] {
    DriverClassInfo i;
    i.Methods.push_back(ExportMeth<&TDriver::GetInterfaceRevision>(u"GetInterfaceRevision",
                                                                   u"ПолучитьРевизиюИнтерфейса", 0));
    TEcrlDriver::Declare(i);
    return i;
  }();
  return info;
}

bool TDriver::GetInterfaceRevision(V8Variant* result, V8Variant*, long) {
  if (result != nullptr) V8SetInt(result, product::kInterfaceRevision);
  return true;
}

void TDriver::SelectInstance(const std::u16string& deviceId) {
  if (text::Trim(deviceId).empty()) throw std::runtime_error("Не передан идентификатор устройства");
  // The Latin "c" before "идентификатором" is how hosts and scripts expect the text.
  throw std::runtime_error("Экземпляр устройства c идентификатором " + text::ToUtf8(deviceId) +
                           " не существует или уже был отключен");
}

void TDriver::GetDataKKT(pugi::xml_document&) { NotYet("GetDataKKT"); }
void TDriver::OperationFN(std::uint8_t, const pugi::xml_document&) { NotYet("OperationFN"); }
void TDriver::OpenShift(const pugi::xml_document&, pugi::xml_document&) { NotYet("OpenShift"); }
void TDriver::CloseShift(const pugi::xml_document&, pugi::xml_document&) { NotYet("CloseShift"); }
void TDriver::ProcessCheck(bool, const pugi::xml_document&, pugi::xml_document&, bool) {
  NotYet("ProcessCheck");
}
void TDriver::ProcessCorrectionCheck(bool, const pugi::xml_document&, pugi::xml_document&) {
  NotYet("ProcessCorrectionCheck");
}
void TDriver::PrintTextDocument(const pugi::xml_document&) { NotYet("PrintTextDocument"); }
void TDriver::CashInOutcome(const pugi::xml_document&, std::int64_t) { NotYet("CashInOutcome"); }
void TDriver::PrintXReport(const pugi::xml_document&) { NotYet("PrintXReport"); }
void TDriver::GetCurrentStatus(const pugi::xml_document&, pugi::xml_document&) {
  NotYet("GetCurrentStatus");
}
void TDriver::ReportCurrentStatusOfSettlements(const pugi::xml_document&, pugi::xml_document&) {
  NotYet("ReportCurrentStatusOfSettlements");
}
void TDriver::OpenCashDrawer() { NotYet("OpenCashDrawer"); }
std::int64_t TDriver::GetLineLength() { NotYet("GetLineLength"); }
void TDriver::PrintCheckCopy(const std::u16string&) { NotYet("PrintCheckCopy"); }
void TDriver::OpenSessionRegistrationKM() { NotYet("OpenSessionRegistrationKM"); }
void TDriver::CloseSessionRegistrationKM() { NotYet("CloseSessionRegistrationKM"); }
void TDriver::RequestKM(const pugi::xml_document&, pugi::xml_document&) { NotYet("RequestKM"); }
void TDriver::GetProcessingKMResult(pugi::xml_document&, std::int32_t&) {
  NotYet("GetProcessingKMResult");
}
void TDriver::ConfirmKM(const std::u16string&, std::int32_t) { NotYet("ConfirmKM"); }
void TDriver::SetDateTime(const std::u16string&) { NotYet("SetDateTime"); }
std::u16string TDriver::GetDateTime() { NotYet("GetDateTime"); }
void TDriver::GetDocumentInformation(std::int32_t, pugi::xml_document&) {
  NotYet("GetDocumentInformation");
}

void RegisterDriverClass() {
  static const bool registered = [] {
    TCommonDriver::RegisterDriver(&TDriver::Create, TDriver::Info(),
                                  text::ToUtf16(product::kExtensionName), product::kDriverName,
                                  product::kDriverDescription);
    TEcrlDriver::UpdateDriverInfo(DriverInfo());
    return true;
  }();
  (void)registered;
}

}  // namespace vantorel
