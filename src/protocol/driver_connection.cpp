#include "protocol/driver.h"
#include "protocol/not_yet.h"

namespace vantorel {

std::int64_t TDriver::GetLineLength() { NotYet("GetLineLength"); }
void TDriver::SetDateTime(const std::u16string&) { NotYet("SetDateTime"); }
std::u16string TDriver::GetDateTime() { NotYet("GetDateTime"); }

}  // namespace vantorel
