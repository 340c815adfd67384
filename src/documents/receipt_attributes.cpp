// Receipt-level attributes and agent data staged before a receipt opens.
#include "device/device.h"
#include "protocol/not_yet.h"

namespace vantorel {

TDevice::TReceiptAttributes TDevice::StageReceiptAttributes(const pugi::xml_node&) {
  NotYet("StageReceiptAttributes");
}
void TDevice::StageAgentData(bool, const pugi::xml_node&, const pugi::xml_node&, std::int32_t) {
  NotYet("StageAgentData");
}

}  // namespace vantorel
