#include "protocol/driver.h"
#include "protocol/not_yet.h"

namespace vantorel {

void TDriver::GetDocumentInformation(std::int32_t, pugi::xml_document&) {
  NotYet("GetDocumentInformation");
}
void TDriver::PrintCheckCopy(const std::u16string&) { NotYet("PrintCheckCopy"); }

}  // namespace vantorel
