#include "protocol/driver.h"
#include "protocol/not_yet.h"

namespace vantorel {

void TDriver::GetDataKKT(pugi::xml_document&) { NotYet("GetDataKKT"); }
void TDriver::OperationFN(std::uint8_t, const pugi::xml_document&) { NotYet("OperationFN"); }

}  // namespace vantorel
