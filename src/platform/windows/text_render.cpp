// Graphic text with GDI: DrawTextW measures the wrapped text and draws it into a 1-bit
// device-independent bitmap (black on white), without anti-aliasing, at the register's
// resolution.
#include <windows.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "platform/text_render.h"

namespace vantorel::platform {

namespace {

std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  // Invalid UTF-8 becomes U+FFFD rather than failing: host text is untrusted.
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

// GDI handles released on every path.
struct Dc {
  HDC h = CreateCompatibleDC(nullptr);
  ~Dc() {
    if (h) DeleteDC(h);
  }
};
struct Gdi {
  HGDIOBJ h = nullptr;
  ~Gdi() {
    if (h) DeleteObject(h);
  }
};
struct Selected {
  HDC dc;
  HGDIOBJ old;
  Selected(HDC dc, HGDIOBJ obj) : dc(dc), old(SelectObject(dc, obj)) {}
  ~Selected() {
    if (old && old != HGDI_ERROR) SelectObject(dc, old);
  }
};

constexpr const wchar_t* kDefaultFace = L"Arial";

}  // namespace

TextRaster RenderText(const TextRenderRequest& request) {
  if (request.width <= 0 || request.pixelHeight <= 0)
    throw std::invalid_argument("RenderText: width and font height must be positive");

  Dc dc;
  if (!dc.h) throw std::runtime_error("GDI: no device context");
  const std::wstring face = request.fontName.empty() ? kDefaultFace : Widen(request.fontName);
  Gdi font{CreateFontW(-request.pixelHeight, 0, 0, 0, request.bold ? FW_BOLD : FW_NORMAL,
                       request.italic, request.underline, request.strikeout, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, NONANTIALIASED_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, face.substr(0, LF_FACESIZE - 1).c_str())};
  if (!font.h) throw std::runtime_error("GDI: cannot create the font");
  Selected fontIn(dc.h, font.h);

  std::wstring text = Widen(request.text);
  // DrawTextW stops at nothing but its length; a NUL would still end the visible text on some
  // systems, so it is shown as a replacement character instead.
  for (auto& c : text)
    if (c == L'\0') c = 0xFFFD;
  const UINT flags = request.format & ~static_cast<UINT>(DT_CALCRECT);

  // Measure: the bottom edge of the wrapped text in the requested width.
  RECT measured{0, 0, request.width, request.height};
  if (!text.empty() &&
      DrawTextW(dc.h, text.c_str(), static_cast<int>(text.size()), &measured, flags | DT_CALCRECT) ==
          0)
    throw std::runtime_error("GDI: cannot measure the text");
  const long long bottom = text.empty() ? 0 : measured.bottom;
  if (bottom > request.maxHeight) throw std::length_error("RenderText: the text is too tall");

  TextRaster raster;
  raster.width = request.width;
  raster.height = bottom > 0 ? static_cast<int>(bottom) : 0;
  raster.pixels.assign(static_cast<std::size_t>(raster.width) * raster.height, 0);
  if (raster.height == 0) return raster;

  // A top-down 1-bit picture: colour 0 black, colour 1 white.
  struct {
    BITMAPINFOHEADER header;
    RGBQUAD colours[2];
  } info{};
  info.header.biSize = sizeof(BITMAPINFOHEADER);
  info.header.biWidth = raster.width;
  info.header.biHeight = -raster.height;
  info.header.biPlanes = 1;
  info.header.biBitCount = 1;
  info.header.biCompression = BI_RGB;
  info.colours[1] = RGBQUAD{255, 255, 255, 0};
  void* bits = nullptr;
  Gdi bitmap{CreateDIBSection(dc.h, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, &bits,
                              nullptr, 0)};
  if (!bitmap.h || !bits) throw std::runtime_error("GDI: cannot create the picture");
  Selected bitmapIn(dc.h, bitmap.h);

  if (!PatBlt(dc.h, 0, 0, raster.width, raster.height, WHITENESS))
    throw std::runtime_error("GDI: cannot clear the picture");
  SetTextColor(dc.h, RGB(0, 0, 0));
  SetBkMode(dc.h, TRANSPARENT);
  RECT area{0, 0, raster.width, raster.height};
  if (DrawTextW(dc.h, text.c_str(), static_cast<int>(text.size()), &area, flags) == 0)
    throw std::runtime_error("GDI: drawing the text failed");
  GdiFlush();

  const std::size_t stride = ((static_cast<std::size_t>(raster.width) + 31) / 32) * 4;
  const auto* data = static_cast<const std::uint8_t*>(bits);
  for (int y = 0; y < raster.height; ++y) {
    const std::uint8_t* row = data + stride * static_cast<std::size_t>(y);
    std::uint8_t* out = raster.pixels.data() + static_cast<std::size_t>(y) * raster.width;
    for (int x = 0; x < raster.width; ++x)
      out[x] = (row[x >> 3] >> (7 - (x & 7))) & 1 ? 0 : 1;  // colour 1 is white
  }
  return raster;
}

}  // namespace vantorel::platform
