#include "protocol/driver.h"
#include "protocol/not_yet.h"

namespace vantorel {

void TDriver::OpenSessionRegistrationKM() { NotYet("OpenSessionRegistrationKM"); }
void TDriver::CloseSessionRegistrationKM() { NotYet("CloseSessionRegistrationKM"); }
void TDriver::RequestKM(const pugi::xml_document&, pugi::xml_document&) { NotYet("RequestKM"); }
void TDriver::GetProcessingKMResult(pugi::xml_document&, std::int32_t&) {
  NotYet("GetProcessingKMResult");
}
void TDriver::ConfirmKM(const std::u16string&, std::int32_t) { NotYet("ConfirmKM"); }

}  // namespace vantorel
