// Registration of one receipt position.
#include "device/device.h"
#include "protocol/not_yet.h"

namespace vantorel {

void TDevice::RegisterItem(const TItem&) { NotYet("RegisterItem"); }
automation::Bytes TDevice::GetTag1162(const std::string&) { NotYet("GetTag1162"); }
void TDevice::SetAgentPhones(std::int32_t, const std::string&) { NotYet("SetAgentPhones"); }

}  // namespace vantorel
