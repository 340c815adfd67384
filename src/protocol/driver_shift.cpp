#include "protocol/driver.h"
#include "protocol/not_yet.h"

namespace vantorel {

void TDriver::OpenShift(const pugi::xml_document&, pugi::xml_document&) { NotYet("OpenShift"); }
void TDriver::CloseShift(const pugi::xml_document&, pugi::xml_document&) { NotYet("CloseShift"); }
void TDriver::CashInOutcome(const pugi::xml_document&, std::int64_t) { NotYet("CashInOutcome"); }
void TDriver::PrintXReport(const pugi::xml_document&) { NotYet("PrintXReport"); }
void TDriver::GetCurrentStatus(const pugi::xml_document&, pugi::xml_document&) {
  NotYet("GetCurrentStatus");
}
void TDriver::ReportCurrentStatusOfSettlements(const pugi::xml_document&, pugi::xml_document&) {
  NotYet("ReportCurrentStatusOfSettlements");
}
void TDriver::OpenCashDrawer() { NotYet("OpenCashDrawer"); }

}  // namespace vantorel
