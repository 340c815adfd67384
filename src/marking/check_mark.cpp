// Marking-code checks on the register.
#include "device/device.h"
#include "protocol/not_yet.h"

namespace vantorel {

void TDevice::CheckMark(const TKMInput&, TKMResult&, bool) { NotYet("CheckMark"); }
std::optional<TKMResult> TDevice::FindKMResult(const std::string&) const { return std::nullopt; }

}  // namespace vantorel
