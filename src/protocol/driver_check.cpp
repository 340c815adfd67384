#include "protocol/driver.h"
#include "protocol/not_yet.h"

namespace vantorel {

void TDriver::ProcessCheck(bool, const pugi::xml_document&, pugi::xml_document&, bool) {
  NotYet("ProcessCheck");
}
void TDriver::ProcessCorrectionCheck(bool, const pugi::xml_document&, pugi::xml_document&) {
  NotYet("ProcessCorrectionCheck");
}

}  // namespace vantorel
