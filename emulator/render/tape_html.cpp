// The tape as an HTML page: paper pieces separated by full cuts, documents marked beside the
// paper, text in a monospace font at the register's characters per line, barcodes as SVG,
// pictures as 1-bit BMP images.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "vregister/tape_render.h"

#include "vregister/persistence.h"

namespace vantorel::emulator {

namespace {

const char* kStyle = R"css(
body { background: #e9e7e2; color: #222; margin: 24px; font: 14px 'Liberation Sans', Arial, sans-serif; }
h1 { font-size: 18px; margin: 0 0 8px; }
table.facts { border-collapse: collapse; margin-bottom: 18px; }
table.facts td { padding: 1px 12px 1px 0; vertical-align: top; }
table.facts td:first-child { color: #666; }
.tape { width: max-content; }
.paper { position: relative; background: #fff; padding: 14px 20px; margin-right: 300px;
  box-shadow: 0 1px 3px rgba(0,0,0,.25); color: #111;
  font: 20px/24px 'Liberation Mono', 'DejaVu Sans Mono', monospace; }
.cut-gap { height: 26px; position: relative; }
.cut-gap span, .cut-part span { position: absolute; left: 0; right: 300px; text-align: center;
  font: 12px 'Liberation Sans', sans-serif; color: #666; }
.cut-gap span { top: 6px; }
.cut-part { position: relative; height: 24px; border-top: 2px dashed #999; margin: 11px -20px 0; }
.cut-part span { top: -10px; right: 0; }
.cut-part span b, .cut-gap span b { background: #fff; padding: 0 6px; font-weight: normal; }
.cut-gap span b { background: #e9e7e2; }
.doc { position: relative; }
.doc::after { content: ''; position: absolute; top: 0; bottom: 0; right: -14px;
  border-right: 3px solid #6b93d6; }
.doc.open::after { border-right-style: dotted; }
.doc-label { position: absolute; left: calc(100% + 26px); top: 2px; white-space: nowrap;
  font: 12px 'Liberation Sans', sans-serif; color: #3b5f9e; }
.row { position: relative; }
.line { white-space: pre; height: 24px; }
.line .t { display: inline-block; transform-origin: 0 0; }
.line.dh { height: 48px; }
.line.dw .t { transform: scale(2, 1); }
.line.dh .t { transform: scale(1, 2); }
.line.dw.dh .t { transform: scale(2, 2); }
.line.f2 .t, .line.f4 .t, .line.f6 .t { font-weight: bold; }
.note { position: absolute; left: calc(100% + 26px); top: 4px; white-space: nowrap;
  font: 11px 'Liberation Sans', sans-serif; color: #888; }
.block { padding: 4px 0; line-height: 0; }
.block svg, .block img { height: auto; image-rendering: pixelated; }
.missing { display: inline-block; border: 1px dashed #999; padding: 4px 8px; line-height: 20px;
  font-size: 14px; }
)css";

const char* AlignCss(Alignment a) {
  return a == Alignment::kCenter ? "center" : a == Alignment::kRight ? "right" : "left";
}

void Put16(std::vector<std::uint8_t>& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// A 1-bit BMP of a pixel buffer (one byte per pixel, non-zero black).
std::vector<std::uint8_t> Bmp(const TapeItem& item) {
  const auto w = static_cast<std::uint32_t>(item.width);
  const auto h = static_cast<std::uint32_t>(item.height);
  const std::uint32_t stride = (w + 31) / 32 * 4;
  const std::uint32_t offset = 14 + 40 + 8;
  std::vector<std::uint8_t> b;
  b.reserve(offset + stride * h);
  b.push_back('B');
  b.push_back('M');
  Put32(b, offset + stride * h);
  Put32(b, 0);
  Put32(b, offset);
  Put32(b, 40);
  Put32(b, w);
  Put32(b, h);  // bottom-up rows
  Put16(b, 1);
  Put16(b, 1);
  Put32(b, 0);
  Put32(b, stride * h);
  Put32(b, 7993);  // 203 dots per inch
  Put32(b, 7993);
  Put32(b, 2);
  Put32(b, 2);
  Put32(b, 0x00FFFFFF);  // 0 white
  Put32(b, 0x00000000);  // 1 black
  for (std::uint32_t y = h; y-- > 0;) {
    std::vector<std::uint8_t> row(stride, 0);
    for (std::uint32_t x = 0; x < w; ++x) {
      const size_t at = static_cast<size_t>(y) * w + x;
      if (at < item.pixels.size() && item.pixels[at]) row[x / 8] |= 0x80 >> (x % 8);
    }
    b.insert(b.end(), row.begin(), row.end());
  }
  return b;
}

std::string Percent(double dots, int lineDots) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f%%",
                std::min(100.0, 100.0 * dots / static_cast<double>(std::max(1, lineDots))));
  return buf;
}

class Page {
 public:
  explicit Page(const TapeView& view) : view_(view) {}

  void Text(const TapeItem& item) {
    std::string cls = "line";
    if (item.doubleWidth) cls += " dw";
    if (item.doubleHeight) cls += " dh";
    if (item.font) cls += " f" + std::to_string(item.font);
    std::string note;
    auto add = [&](const std::string& s) { note += (note.empty() ? "" : ", ") + s; };
    if (item.font) add("font " + std::to_string(item.font));
    if (item.doubleWidth) add("double width");
    if (item.doubleHeight) add("double height");
    bool first = true;
    for (const auto& l : WrapText(item, view_.lineLength)) {
      Open();
      body_ += "<div class=\"row\"><div class=\"" + cls + "\"><span class=\"t\">" + HtmlEscape(l) +
               "</span></div>";
      if (first && !note.empty()) body_ += "<div class=\"note\">" + HtmlEscape(note) + "</div>";
      body_ += "</div>\n";
      first = false;
    }
  }

  void Barcode(const TapeItem& item) {
    Open();
    std::string error;
    const auto svg = BarcodeSvg(item, &error);
    const std::string label = std::string(BarcodeKindName(item.barcode)) + ": " + item.text;
    body_ += "<div class=\"row\"><div class=\"block barcode\" data-kind=\"" +
             std::string(BarcodeKindName(item.barcode)) + "\" data-text=\"" + HtmlEscape(item.text) +
             "\" style=\"text-align:" + AlignCss(item.alignment) + "\">";
    if (svg) {
      // Width by the dots it takes on paper, relative to the line.
      const auto w = svg->find("width=\"");
      double dots = 0;
      if (w != std::string::npos) dots = std::atof(svg->c_str() + w + 7);
      std::string s = *svg;
      s.insert(4, " style=\"width:" + Percent(dots, view_.lineLengthPix) + "\"");
      s.insert(4, " role=\"img\" aria-label=\"" + HtmlEscape(label) + "\"");
      body_ += s;
    } else {
      body_ += "<span class=\"missing\" title=\"" + HtmlEscape(error) + "\">[" + HtmlEscape(label) +
               "]</span>";
    }
    body_ += "</div><div class=\"note\">" + HtmlEscape(BarcodeKindName(item.barcode)) + "</div></div>\n";
  }

  void Picture(const TapeItem& item) {
    if (item.width <= 0 || item.height <= 0) return;
    Open();
    const double scale = item.scale > 0 ? item.scale / 100.0 : 1.0;
    body_ += "<div class=\"row\"><div class=\"block picture\" style=\"text-align:" +
             std::string(AlignCss(item.alignment)) + "\"><img alt=\"picture " +
             std::to_string(item.width) + "x" + std::to_string(item.height) +
             "\" style=\"width:" + Percent(item.width * scale, view_.lineLengthPix) +
             "\" src=\"data:image/bmp;base64," + Base64(Bmp(item)) +
             "\"></div><div class=\"note\">picture " + std::to_string(item.width) + "×" +
             std::to_string(item.height) + "</div></div>\n";
  }

  void Feed(int lines) {
    for (int k = 0; k < lines; ++k) {
      Open();
      body_ += "<div class=\"row\"><div class=\"line\"> </div></div>\n";
    }
  }

  void Cut(bool full) {
    if (!full) {
      Open();
      body_ += "<div class=\"cut-part\"><span><b>✂ partial cut</b></span></div>\n";
      return;
    }
    // A full cut ends the piece of paper; a document still open goes on in the next piece.
    const bool wasInDoc = inDoc_;
    const std::string title = docTitle_;
    if (inPaper_) {
      CloseDoc(true);
      body_ += "</div>\n";
      inPaper_ = false;
    }
    body_ += "<div class=\"cut-gap\"><span><b>✂ cut</b></span></div>\n";
    if (wasInDoc) BeginDoc(title + " (continued)");
  }

  void BeginDoc(const std::string& title) {
    OpenPaper();
    if (inDoc_) CloseDoc(false);
    ++documents_;
    inDoc_ = true;
    docTitle_ = title;
    body_ += "<section class=\"doc\" data-title=\"" + HtmlEscape(title) +
             "\"><div class=\"doc-label\">" + HtmlEscape(title) + "</div>\n";
  }

  void EndDoc() {
    if (inDoc_) CloseDoc(true);
  }

  std::string Finish() {
    if (inDoc_) CloseDoc(false);
    if (inPaper_) body_ += "</div>\n";
    std::string out = "<!DOCTYPE html>\n<html lang=\"ru\"><head><meta charset=\"utf-8\"><title>" +
                      HtmlEscape(view_.title) + "</title><style>" + kStyle +
                      ".paper .line, .paper .block { width: " + std::to_string(view_.lineLength) +
                      "ch; }\n</style></head><body>\n<h1>" + HtmlEscape(view_.title) +
                      "</h1>\n<table class=\"facts\">";
    for (const auto& [k, v] : view_.facts)
      out += "<tr><td>" + HtmlEscape(k) + "</td><td>" + HtmlEscape(v) + "</td></tr>";
    out += "</table>\n<div class=\"tape\">\n" + body_ + "</div>\n</body></html>\n";
    return out;
  }

 private:
  void OpenPaper() {
    if (inPaper_) return;
    body_ += "<div class=\"paper\">\n";
    inPaper_ = true;
  }
  void Open() { OpenPaper(); }
  // `finished`: the register ended the document; otherwise it was left open (an unfinished
  // receipt, or paper that ran out).
  void CloseDoc(bool finished) {
    if (!inDoc_) return;
    if (!finished) {
      // Mark the section as not finished: the class goes in place of the plain one.
      const auto at = body_.rfind("<section class=\"doc\"");
      if (at != std::string::npos) body_.replace(at, 20, "<section class=\"doc open\"");
    }
    body_ += "</section>\n";
    inDoc_ = false;
  }

  const TapeView& view_;
  std::string body_;
  bool inPaper_ = false;
  bool inDoc_ = false;
  std::string docTitle_;
  int documents_ = 0;
};

}  // namespace

std::string RenderTapeHtml(const std::vector<TapeItem>& items, const TapeView& view) {
  Page page(view);
  for (const auto& item : items) {
    switch (item.kind) {
      case TapeItem::Kind::kText:
        page.Text(item);
        break;
      case TapeItem::Kind::kBarcode:
        page.Barcode(item);
        break;
      case TapeItem::Kind::kPicture:
        page.Picture(item);
        break;
      case TapeItem::Kind::kFeed:
        page.Feed(item.lines);
        break;
      case TapeItem::Kind::kCut:
        page.Cut(item.fullCut);
        break;
      case TapeItem::Kind::kDocumentBegin:
        page.BeginDoc(item.text.empty() ? "document" : item.text);
        break;
      case TapeItem::Kind::kDocumentEnd:
        page.EndDoc();
        break;
    }
  }
  return page.Finish();
}

}  // namespace vantorel::emulator
