// Barcodes of the tape drawn with zint: SVG for the page, a module matrix for the terminal.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "vregister/tape_render.h"

#if defined(VREGISTER_HAVE_ZINT)
#include <zint.h>
#endif

namespace vantorel::emulator {

std::string HtmlEscape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

#if defined(VREGISTER_HAVE_ZINT)

namespace {

struct SymbolDeleter {
  void operator()(zint_symbol* s) const { ZBarcode_Delete(s); }
};
using Symbol = std::unique_ptr<zint_symbol, SymbolDeleter>;

// Encodes an item into zint's vector form; null with `error` set on failure.
Symbol Encode(const TapeItem& item, std::string* error) {
  Symbol s(ZBarcode_Create());
  if (!s) {
    if (error) *error = "out of memory";
    return nullptr;
  }
  switch (item.barcode) {
    case BarcodeKind::kEan8:
    case BarcodeKind::kEan13:
      s->symbology = BARCODE_EANX;
      break;
    case BarcodeKind::kCode39:
      s->symbology = BARCODE_CODE39;
      break;
    case BarcodeKind::kQr:
      s->symbology = BARCODE_QRCODE;
      s->input_mode = UNICODE_MODE;
      break;
  }
  s->scale = 1;
  s->show_hrt = item.barcodeText && item.barcode != BarcodeKind::kQr ? 1 : 0;
  const int module = std::max(1, item.scale);
  if (item.barcode != BarcodeKind::kQr)
    s->height = static_cast<float>(std::max(1, item.height > 0 ? item.height : 50)) /
                static_cast<float>(module);
  const int rc = ZBarcode_Encode_and_Buffer_Vector(
      s.get(), reinterpret_cast<const unsigned char*>(item.text.data()),
      static_cast<int>(item.text.size()), 0);
  if (rc >= ZINT_ERROR || !s->vector) {
    if (error) *error = s->errtxt[0] ? s->errtxt : "the barcode cannot be encoded";
    return nullptr;
  }
  return s;
}

// zint's vector units per module: the narrowest bar or module of the symbol.
float UnitsPerModule(const zint_symbol& s) {
  float unit = 0;
  for (const zint_vector_rect* r = s.vector->rectangles; r; r = r->next) {
    const float m = std::min(r->width, r->height);
    if (m > 0 && (unit == 0 || m < unit)) unit = m;
  }
  return unit > 0 ? unit : 1;
}

std::string Num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  std::string s = buf;
  while (s.back() == '0') s.pop_back();
  if (s.back() == '.') s.pop_back();
  return s;
}

}  // namespace

bool BarcodesDrawable() { return true; }

std::optional<BarcodeModules> BarcodeMatrix(const TapeItem& item, std::string* error) {
  Symbol s = Encode(item, error);
  if (!s) return std::nullopt;
  const float unit = UnitsPerModule(*s);
  BarcodeModules m;
  m.width = static_cast<int>(std::lround(s->vector->width / unit));
  m.height = static_cast<int>(std::lround(s->vector->height / unit));
  if (m.width <= 0 || m.height <= 0 || m.width > 1000 || m.height > 1000) {
    if (error) *error = "unexpected symbol size";
    return std::nullopt;
  }
  m.dark.assign(static_cast<size_t>(m.width) * static_cast<size_t>(m.height), false);
  for (const zint_vector_rect* r = s->vector->rectangles; r; r = r->next) {
    if (r->colour > 0 && r->colour != 7) continue;  // only foreground (or black) marks
    const int x0 = static_cast<int>(std::lround(r->x / unit));
    const int y0 = static_cast<int>(std::lround(r->y / unit));
    const int x1 = static_cast<int>(std::lround((r->x + r->width) / unit));
    const int y1 = static_cast<int>(std::lround((r->y + r->height) / unit));
    for (int y = std::max(0, y0); y < std::min(m.height, y1); ++y)
      for (int x = std::max(0, x0); x < std::min(m.width, x1); ++x)
        m.dark[static_cast<size_t>(y) * static_cast<size_t>(m.width) + static_cast<size_t>(x)] =
            true;
  }
  return m;
}

std::optional<std::string> BarcodeSvg(const TapeItem& item, std::string* error) {
  Symbol s = Encode(item, error);
  if (!s) return std::nullopt;
  const float unit = UnitsPerModule(*s);
  const double dots = static_cast<double>(std::max(1, item.scale)) / unit;
  const zint_vector& v = *s->vector;
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(v.width * dots) +
                    "\" height=\"" + Num(v.height * dots) + "\" viewBox=\"0 0 " + Num(v.width) +
                    " " + Num(v.height) + "\" shape-rendering=\"crispEdges\">";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/><path fill=\"#000\" d=\"";
  for (const zint_vector_rect* r = v.rectangles; r; r = r->next) {
    if (r->colour > 0 && r->colour != 7) continue;
    svg += "M" + Num(r->x) + " " + Num(r->y) + "h" + Num(r->width) + "v" + Num(r->height) + "h-" +
           Num(r->width) + "z";
  }
  svg += "\"/>";
  for (const zint_vector_string* t = v.strings; t; t = t->next) {
    const char* anchor = t->halign == 1 ? "start" : t->halign == 2 ? "end" : "middle";
    svg += "<text x=\"" + Num(t->x) + "\" y=\"" + Num(t->y) + "\" font-size=\"" + Num(t->fsize) +
           "\" text-anchor=\"" + anchor + "\" font-family=\"monospace\">" +
           HtmlEscape(reinterpret_cast<const char*>(t->text)) + "</text>";
  }
  svg += "</svg>";
  return svg;
}

#else

bool BarcodesDrawable() { return false; }

std::optional<BarcodeModules> BarcodeMatrix(const TapeItem&, std::string* error) {
  if (error) *error = "built without a barcode library";
  return std::nullopt;
}

std::optional<std::string> BarcodeSvg(const TapeItem&, std::string* error) {
  if (error) *error = "built without a barcode library";
  return std::nullopt;
}

#endif

}  // namespace vantorel::emulator
