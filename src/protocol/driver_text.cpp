#include "protocol/driver.h"
#include "protocol/not_yet.h"

namespace vantorel {

void TDriver::PrintTextDocument(const pugi::xml_document&) { NotYet("PrintTextDocument"); }

}  // namespace vantorel
