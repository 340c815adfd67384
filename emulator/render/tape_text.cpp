// The tape as text for a terminal: the paper between side rules, notes beside it.
#include <algorithm>
#include <functional>

#include "vregister/tape_render.h"

namespace vantorel::emulator {

namespace {

std::vector<std::string> Glyphs(const std::string& s) {
  std::vector<std::string> out;
  for (size_t i = 0; i < s.size();) {
    size_t j = i + 1;
    while (j < s.size() && (static_cast<unsigned char>(s[j]) & 0xC0) == 0x80) ++j;
    out.emplace_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

struct Line {
  std::string paper;  // exactly the paper's width, or a rule when `rule` is set
  std::string note;
  bool rule = false;
};

class Printer {
 public:
  Printer(int width, bool blocks) : width_(width), blocks_(blocks) {}

  void Paper(const std::string& text) {
    std::string s = text;
    const auto g = Glyphs(s);
    if (static_cast<int>(g.size()) > width_) {
      s.clear();
      for (int k = 0; k < width_; ++k) s += g[static_cast<size_t>(k)];
    } else {
      s += std::string(static_cast<size_t>(width_) - g.size(), ' ');
    }
    lines_.push_back({s, pending_, false});
    pending_.clear();
  }
  void Aligned(const std::string& text, Alignment a) {
    const int len = static_cast<int>(CodePoints(text));
    const int pad = len >= width_ || a == Alignment::kLeft ? 0
                    : a == Alignment::kCenter              ? (width_ - len) / 2
                                                           : width_ - len;
    Paper(std::string(static_cast<size_t>(pad), ' ') + text);
  }
  void Rule(const std::string& label) {
    lines_.push_back({label, pending_, true});
    pending_.clear();
  }
  void NoteNext(const std::string& note) { pending_ = note; }
  // A note on the last line, or on a blank line of its own when that one has a note.
  void NoteLast(const std::string& note) {
    if (lines_.empty() || !lines_.back().note.empty()) Paper("");
    lines_.back().note = note;
  }

  std::string Render() const {
    const std::string side = blocks_ ? "│" : "|";
    const std::string dash = blocks_ ? "╌" : "-";
    std::string out;
    for (const auto& l : lines_) {
      if (l.rule) {
        const int len = static_cast<int>(CodePoints(l.paper));
        const int left = std::max(0, (width_ - len) / 2);
        const int right = std::max(0, width_ - len - left);
        out += (blocks_ ? "├" : "+");
        for (int k = 0; k < left; ++k) out += dash;
        out += l.paper;
        for (int k = 0; k < right; ++k) out += dash;
        out += (blocks_ ? "┤" : "+");
      } else {
        out += side + l.paper + side;
      }
      if (!l.note.empty()) out += "  " + l.note;
      out += '\n';
    }
    return out;
  }

 private:
  int width_;
  bool blocks_;
  std::vector<Line> lines_;
  std::string pending_;
};

// A picture or matrix code as characters: two pixel rows per character with half blocks, or '#'.
void DrawCells(Printer& p, int width, int height, Alignment a, bool blocks, int maxCols,
               const std::function<bool(int, int, int, int)>& dark) {
  // Cells of cw x ch pixels, cw chosen so the drawing fits in maxCols characters.
  const int cw = std::max(1, (width + maxCols - 1) / maxCols);
  const int ch = blocks ? cw : cw * 2;
  for (int y = 0; y < height; y += blocks ? 2 * ch : ch) {
    std::string row;
    for (int x = 0; x < width; x += cw) {
      if (blocks) {
        const bool top = dark(x, y, cw, ch), bottom = dark(x, y + ch, cw, ch);
        row += top && bottom ? "█" : top ? "▀" : bottom ? "▄" : " ";
      } else {
        row += dark(x, y, cw, ch) ? '#' : ' ';
      }
    }
    p.Aligned(row, a);
  }
}

}  // namespace

std::string RenderTapeText(const std::vector<TapeItem>& items, const TapeView& view, bool blocks) {
  const int width = std::max(8, view.lineLength);
  Printer p(width, blocks);
  bool inDocument = false;
  for (const auto& item : items) {
    switch (item.kind) {
      case TapeItem::Kind::kText: {
        for (const auto& l : WrapText(item, width)) {
          if (!item.doubleWidth) {
            p.Paper(l);
            continue;
          }
          // Double width: every character takes two places.
          std::string wide;
          for (const auto& g : Glyphs(l)) wide += g + " ";
          p.Paper(wide);
        }
        break;
      }
      case TapeItem::Kind::kBarcode: {
        std::string error;
        std::optional<BarcodeModules> m;
        if (blocks && item.barcode == BarcodeKind::kQr) m = BarcodeMatrix(item, &error);
        if (m && m->width + 4 <= width) {
          // Two modules of quiet zone on every side.
          const int side = m->width + 4;
          DrawCells(p, side, side, item.alignment, true, side,
                    [&](int x, int y, int, int) { return m->at(x - 2, y - 2); });
          if (item.barcodeText) p.Aligned(item.text, item.alignment);
        } else {
          // The data as text, over as many lines as it needs.
          const auto g = Glyphs(std::string("[") + BarcodeKindName(item.barcode) + " " + item.text + "]");
          for (size_t at = 0; at < g.size(); at += static_cast<size_t>(width)) {
            std::string part;
            for (size_t k = at; k < std::min(g.size(), at + static_cast<size_t>(width)); ++k)
              part += g[k];
            p.Aligned(part, item.alignment);
          }
        }
        break;
      }
      case TapeItem::Kind::kPicture: {
        if (item.width <= 0 || item.height <= 0) break;
        const int cols = std::max(1, std::min(width, (item.width * width + view.lineLengthPix - 1) /
                                                         std::max(1, view.lineLengthPix)));
        DrawCells(p, item.width, item.height, item.alignment, blocks, cols,
                  [&](int x0, int y0, int cw, int ch) {
                    int black = 0, total = 0;
                    for (int y = y0; y < std::min(item.height, y0 + ch); ++y)
                      for (int x = x0; x < std::min(item.width, x0 + cw); ++x) {
                        const size_t at = static_cast<size_t>(y) * static_cast<size_t>(item.width) +
                                          static_cast<size_t>(x);
                        ++total;
                        if (at < item.pixels.size() && item.pixels[at]) ++black;
                      }
                    return black > 0 && black * 4 >= total;
                  });
        break;
      }
      case TapeItem::Kind::kFeed:
        for (int k = 0; k < item.lines; ++k) p.Paper("");
        break;
      case TapeItem::Kind::kCut:
        p.Rule(blocks ? (item.fullCut ? " ✂ cut " : " ✂ partial cut ")
                      : (item.fullCut ? " cut " : " partial cut "));
        break;
      case TapeItem::Kind::kDocumentBegin:
        if (inDocument) p.NoteLast(blocks ? "◀ (not finished)" : "<- (not finished)");
        p.NoteNext((blocks ? "◀ " : "<- ") + (item.text.empty() ? "document" : item.text));
        inDocument = true;
        break;
      case TapeItem::Kind::kDocumentEnd:
        if (inDocument) p.NoteLast(blocks ? "◀ end of document" : "<- end of document");
        inDocument = false;
        break;
    }
  }
  if (inDocument) p.NoteLast(blocks ? "◀ (not finished)" : "<- (not finished)");
  return p.Render();
}

}  // namespace vantorel::emulator
