// Graphic text: text rendered in a chosen font into a black-and-white picture of the paper's
// width, handed to the register as a pixel buffer of one byte per pixel. The text layout is
// portable; the rasterising is done by the platform (platform/text_render.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel {

// One graphic-text request: a GraphicText position or the text of a [gtN] tag pair.
struct TTextGraphic {
  TTextGraphic() = default;
  TTextGraphic(std::string text, std::string fontName, std::string fontStyle, std::int32_t fontSize)
      : FText(std::move(text)),
        FFontName(std::move(fontName)),
        FFontSize(fontSize),
        FFontStyle(std::move(fontStyle)) {}

  std::string FText;           // line breaks in it start new lines
  std::string FFontName;       // empty: the platform's default font
  std::int32_t FFontSize = 0;  // points; 0 or less: the default size
  std::string FFontStyle;      // "bold", "italic", "underline", "strikeout", space-separated
};

// A rendered picture: `height` rows of `width` bytes, top row first, 1 black and 0 white.
struct GraphicPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;

  std::size_t BlackCount() const;
};

namespace graphic_text {

// The register prints at 203 dots per inch; rounded to whole dots per millimetre that is 8.
inline constexpr int kDpi = 203;
constexpr int DotsPerMm(int dpi) { return static_cast<int>(dpi / 25.400051 + 0.5); }
static_assert(DotsPerMm(kDpi) == 8);

// Size used when the request names none (0 or less), in points.
inline constexpr int kDefaultFontSize = 8;

// Bounds on the untrusted request, so that a bad document cannot ask for gigabytes of picture.
inline constexpr int kMaxWidthMm = 1000;
inline constexpr int kMaxFontSize = 1000;
inline constexpr std::size_t kMaxTextBytes = 64 * 1024;
inline constexpr int kMaxHeightPixels = 20000;

// The layout flags, with the values of the Windows text drawing flags they stand for.
enum TextFormat : std::uint32_t {
  tfLeft = 0,
  tfCenter = 1,
  tfRight = 2,
  tfTop = 0,
  tfVCenter = 4,
  tfBottom = 8,
  tfWordBreak = 16,
  tfSingleLine = 32,
  tfCalcRect = 1024,
  tfNoPrefix = 2048,
  tfEditControl = 8192,
  tfEndEllipsis = 32768,
};
inline constexpr std::uint32_t kMultilineFlags =
    tfWordBreak | tfNoPrefix | tfEditControl | tfEndEllipsis;  // 43024
inline constexpr std::uint32_t kSingleLineFlags =
    tfSingleLine | tfNoPrefix | tfEditControl | tfEndEllipsis;  // 43040
static_assert(kMultilineFlags == 43024 && kSingleLineFlags == 43040);

struct FontStyle {
  bool bold = false, italic = false, underline = false, strikeout = false;
  bool operator==(const FontStyle&) const = default;
};

// Style words split at spaces; "bold", "italic", "underline", "strikeout" in any letter case
// count, anything else is ignored.
FontStyle ParseFontStyle(std::string_view words);

// The style words of a settings group, in the fixed order: "bold " if bold, "italic " if
// italic, "strikeout " if strikeout, "underline" if underline.
std::string StyleWords(bool bold, bool italic, bool strikeout, bool underline);

// Alignment words ("center", "right", else left; "center", "bottom", else top; any letter case,
// found anywhere in the text) and the line mode, as layout flags.
std::uint32_t LayoutFlags(std::string_view align, std::string_view valign, bool multiline);

// A point size as the character height in pixels at the register's resolution.
int FontPixelHeight(int points);

// Height in millimetres given to the renderer for a font size: round(size × 0.376).
int PrintHeightMm(std::int32_t fontSize);

// Renders the text at `widthMm` × 8 pixels wide; the height is that of the wrapped text
// (`heightMm` is only the starting height). Each row is cut to 8 × (width div 8) pixels.
// Empty text gives a picture without rows. Throws EquException (1004) when the request is out
// of bounds, std::runtime_error when the platform cannot render.
GraphicPicture Render(std::string_view text, int widthMm, int heightMm, int fontSize,
                      std::string_view fontName, std::string_view fontStyle, std::string_view align,
                      std::string_view valign, bool multiline);

// The tag pair of a text line: the first [gtN] (N 1 to 5) and the first [/gtN] with one or more
// slashes, letter case ignored. The text is what lies between the end of the opening tag and
// the start of the closing tag, empty when the closing tag comes first; the closing number is
// not compared with the opening one.
struct Tag {
  int group = 0;  // 1 to 5
  std::string text;
};
std::optional<Tag> FindTag(std::string_view line);

// The picture as a PNG file (1-bit greyscale), for viewing. Throws std::runtime_error when the
// file cannot be written.
std::string EncodePng(const GraphicPicture& picture);
void WritePng(const GraphicPicture& picture, const std::string& path);

}  // namespace graphic_text

// The rendering entry point as the register's pixel buffer: 1 black, 0 white, rows of
// 8 × (widthMm × 8 div 8) bytes, no header. See graphic_text::Render.
std::vector<std::uint8_t> GetGraphicText(std::string_view text, int widthMm, int heightMm,
                                         int fontSize, std::string_view fontName,
                                         std::string_view fontStyle, std::string_view align,
                                         std::string_view valign, bool multiline);

// Names the team uses for the helpers above.
inline std::optional<graphic_text::Tag> FindGraphicTextTag(std::string_view line) {
  return graphic_text::FindTag(line);
}
inline std::string GraphicTextStyleWords(bool bold, bool italic, bool strikeout, bool underline) {
  return graphic_text::StyleWords(bold, italic, strikeout, underline);
}

}  // namespace vantorel
