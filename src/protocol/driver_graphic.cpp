// Graphic text in text lines: the [gtN]...[/gtN] tags and the five configured styles.
#include "documents/graphic_text.h"
#include "protocol/driver.h"

namespace vantorel {

bool TDriver::PrintGraphicTextTag(const std::string& text) {
  const auto tag = FindGraphicTextTag(text);
  if (!tag) return false;
  std::string fontName, fontStyle;
  std::int32_t fontSize = 0;
  GetGraphicTextSettings(tag->group, fontName, fontStyle, fontSize);
  Device().PrintGraphicText(tag->text, fontName, fontStyle, fontSize);
  return true;
}

void TDriver::GetGraphicTextSettings(int group, std::string& fontName, std::string& fontStyle,
                                     std::int32_t& fontSize) const {
  const auto& groups = Instance().GraphicText;
  if (group < 1 || group > static_cast<int>(groups.size()))
    throw std::out_of_range("graphic text group " + std::to_string(group));
  const GraphicTextStyle& s = groups[static_cast<std::size_t>(group - 1)];
  fontName = s.FontName;
  fontSize = s.FontSize;
  fontStyle = GraphicTextStyleWords(s.IsBold, s.IsItalic, s.IsStrikeout, s.IsUnderline);
}

}  // namespace vantorel
