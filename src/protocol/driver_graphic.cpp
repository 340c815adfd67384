// Graphic text in text lines: the [gtN]...[/gtN] tags and the five configured styles.
#include "protocol/driver.h"
#include "protocol/not_yet.h"

namespace vantorel {

bool TDriver::PrintGraphicTextTag(const std::string&) { return false; }

void TDriver::GetGraphicTextSettings(int, std::string&, std::string&, std::int32_t&) const {
  NotYet("GetGraphicTextSettings");
}

void TDevice::PrintGraphicText(const std::string&, const std::string&, const std::string&,
                               std::int32_t) {
  NotYet("PrintGraphicText");
}

}  // namespace vantorel
