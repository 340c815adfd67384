// Graphic text on the register: the text rendered at the paper's width and printed as a picture.
#include "device/device.h"
#include "documents/graphic_text.h"

namespace vantorel {

void TDevice::PrintGraphicText(const std::string& text, const std::string& fontName,
                               const std::string& fontStyle, std::int32_t fontSize) {
  const int height = graphic_text::PrintHeightMm(fontSize);
  automation::Bytes pixels = GetGraphicText(text, RibbonWidth, height, fontSize, fontName,
                                            fontStyle, "center", "center", true);
  // A picture without rows (empty text) has nothing to print; the register would refuse it and
  // leave the document half made.
  if (pixels.empty()) return;
  SetParam("LIBFPTR_PARAM_PIXEL_BUFFER", automation::Value(std::move(pixels)));
  SetParam("LIBFPTR_PARAM_WIDTH", automation::Value(static_cast<std::int32_t>(RibbonWidth * 8)));
  SetParam("LIBFPTR_PARAM_ALIGNMENT", Const("LIBFPTR_ALIGNMENT_CENTER"));
  Call("printPixelBuffer");
}

}  // namespace vantorel
