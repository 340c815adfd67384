// Text rasterising for graphic text (platform/*/text_render.cpp): Pango and Cairo on POSIX, GDI
// on Windows. The caller has checked the bounds of the request; the rasteriser only measures
// and draws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantorel::platform {

struct TextRenderRequest {
  std::string text;      // UTF-8; CR LF, CR or LF start a new line in multi-line layouts
  std::string fontName;  // family; empty: the platform's default font
  int pixelHeight = 0;   // character height (em) in pixels, > 0
  bool bold = false, italic = false, underline = false, strikeout = false;
  std::uint32_t format = 0;  // layout flags with the values of the Windows DrawText flags
  int width = 0;             // pixels, > 0
  int height = 0;            // starting height in pixels; the result's height is measured
  int maxHeight = 0;         // a measured height above this throws before anything is drawn
};

// One byte per pixel, 1 black and 0 white, `width` bytes a row, top row first.
struct TextRaster {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;
};

// Measures the text in (0, 0, width, height) with the flags, sizes the picture to the measured
// bottom edge and draws. Throws std::runtime_error when the system fails or the text is taller
// than maxHeight. Safe to call from any thread.
TextRaster RenderText(const TextRenderRequest& request);

}  // namespace vantorel::platform
