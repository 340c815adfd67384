// Graphic text with Pango and Cairo: fonts through fontconfig (Arial, Times New Roman and
// Courier New resolve to their metric-compatible Liberation fonts), drawn without anti-aliasing
// into an 8-bit alpha surface and thresholded, so the picture is crisp black and white.
#include "platform/text_render.h"

#include <pango/pangocairo.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

namespace vantorel::platform {

namespace {

// Pango's font map and its caches are not thread-safe; one map serves every call, one call at
// a time. The map lives as long as the process: fontconfig's set-up is the expensive part.
std::mutex renderMutex;
PangoFontMap* fontMap = nullptr;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const {
    if (p) Free(p);
  }
};
void UnrefObject(void* p) { g_object_unref(p); }
using ContextPtr = std::unique_ptr<PangoContext, Deleter<void, UnrefObject>>;
using LayoutPtr = std::unique_ptr<PangoLayout, Deleter<void, UnrefObject>>;
using FontOptionsPtr = std::unique_ptr<cairo_font_options_t,
                                       Deleter<cairo_font_options_t, cairo_font_options_destroy>>;
using FontDescriptionPtr =
    std::unique_ptr<PangoFontDescription,
                    Deleter<PangoFontDescription, pango_font_description_free>>;
using AttrListPtr = std::unique_ptr<PangoAttrList, Deleter<PangoAttrList, pango_attr_list_unref>>;
using SurfacePtr =
    std::unique_ptr<cairo_surface_t, Deleter<cairo_surface_t, cairo_surface_destroy>>;
using CairoPtr = std::unique_ptr<cairo_t, Deleter<cairo_t, cairo_destroy>>;
using GCharPtr = std::unique_ptr<gchar, Deleter<void, g_free>>;

constexpr std::uint32_t kCenter = 1, kRight = 2, kSingleLine = 32;
constexpr double kDpi = 203;
constexpr const char* kDefaultFamily = "sans-serif";

// A single line shows its line breaks as spaces rather than as Pango's visible separators.
std::string JoinLines(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i] == '\r' || text[i] == '\n' ? ' ' : text[i]);
  }
  return out;
}

}  // namespace

TextRaster RenderText(const TextRenderRequest& request) {
  if (request.width <= 0 || request.pixelHeight <= 0)
    throw std::invalid_argument("RenderText: width and font height must be positive");

  std::lock_guard<std::mutex> lock(renderMutex);
  if (!fontMap) {
    fontMap = pango_cairo_font_map_new();
    if (!fontMap) throw std::runtime_error("Pango: no font map");
  }

  // One context measures and draws, with fixed font options: glyph positions and shapes must
  // not depend on the desktop's settings.
  ContextPtr context(pango_font_map_create_context(fontMap));
  if (!context) throw std::runtime_error("Pango: no context");
  pango_cairo_context_set_resolution(context.get(), kDpi);
  FontOptionsPtr options(cairo_font_options_create());
  cairo_font_options_set_antialias(options.get(), CAIRO_ANTIALIAS_NONE);
  cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_OFF);
  cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_FULL);
  pango_cairo_context_set_font_options(context.get(), options.get());

  LayoutPtr layout(pango_layout_new(context.get()));
  FontDescriptionPtr font(pango_font_description_new());
  pango_font_description_set_family(
      font.get(), request.fontName.empty() ? kDefaultFamily : request.fontName.c_str());
  pango_font_description_set_absolute_size(font.get(), double(request.pixelHeight) * PANGO_SCALE);
  pango_font_description_set_weight(font.get(),
                                    request.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_font_description_set_style(font.get(),
                                   request.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  pango_layout_set_font_description(layout.get(), font.get());

  AttrListPtr attrs(pango_attr_list_new());
  if (request.underline)
    pango_attr_list_insert(attrs.get(), pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
  if (request.strikeout) pango_attr_list_insert(attrs.get(), pango_attr_strikethrough_new(TRUE));
  pango_layout_set_attributes(layout.get(), attrs.get());

  pango_layout_set_width(layout.get(), request.width * PANGO_SCALE);
  pango_layout_set_alignment(layout.get(), (request.format & kCenter)  ? PANGO_ALIGN_CENTER
                                           : (request.format & kRight) ? PANGO_ALIGN_RIGHT
                                                                       : PANGO_ALIGN_LEFT);
  const bool singleLine = request.format & kSingleLine;
  std::string text = singleLine ? JoinLines(request.text) : request.text;
  if (singleLine) {
    pango_layout_set_ellipsize(layout.get(), PANGO_ELLIPSIZE_END);
  } else {
    // Words that fit move to the next line whole; a longer word is broken where it meets the
    // edge, as an edit control breaks it.
    pango_layout_set_wrap(layout.get(), PANGO_WRAP_WORD_CHAR);
    pango_layout_set_ellipsize(layout.get(), PANGO_ELLIPSIZE_NONE);
  }
  // Host text is untrusted: invalid sequences and NUL bytes are shown as U+FFFD. Plain text, not
  // markup, so '&' and '<' are ordinary characters.
  GCharPtr valid(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
  pango_layout_set_text(layout.get(), valid.get(), -1);

  PangoRectangle logical{};
  pango_layout_get_pixel_extents(layout.get(), nullptr, &logical);
  const long long bottom = static_cast<long long>(logical.y) + logical.height;
  if (bottom > request.maxHeight) throw std::length_error("RenderText: the text is too tall");

  TextRaster raster;
  raster.width = request.width;
  raster.height = bottom > 0 ? static_cast<int>(bottom) : 0;
  raster.pixels.assign(static_cast<std::size_t>(raster.width) * raster.height, 0);
  if (raster.height == 0) return raster;

  SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_A8, raster.width, raster.height));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
    throw std::runtime_error("Cairo: cannot create the picture");
  CairoPtr cr(cairo_create(surface.get()));
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS)
    throw std::runtime_error("Cairo: cannot draw on the picture");
  // Underline and strikeout are shapes: their anti-aliasing is the drawing's, not the font's.
  cairo_set_antialias(cr.get(), CAIRO_ANTIALIAS_NONE);
  cairo_set_source_rgba(cr.get(), 0, 0, 0, 1);
  cairo_move_to(cr.get(), 0, 0);
  pango_cairo_show_layout(cr.get(), layout.get());
  cairo_surface_flush(surface.get());
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS)
    throw std::runtime_error("Cairo: drawing the text failed");

  const unsigned char* data = cairo_image_surface_get_data(surface.get());
  const int stride = cairo_image_surface_get_stride(surface.get());
  for (int y = 0; y < raster.height; ++y) {
    const unsigned char* row = data + static_cast<std::ptrdiff_t>(y) * stride;
    std::uint8_t* out = raster.pixels.data() + static_cast<std::ptrdiff_t>(y) * raster.width;
    for (int x = 0; x < raster.width; ++x) out[x] = row[x] >= 128 ? 1 : 0;
  }
  return raster;
}

}  // namespace vantorel::platform
