#include "vregister/tape.h"

#include <algorithm>

namespace vantorel::emulator {

namespace {

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Splits UTF-8 text into code points (each as its bytes).
std::vector<std::string> Glyphs(const std::string& s) {
  std::vector<std::string> out;
  for (size_t i = 0; i < s.size();) {
    size_t j = i + 1;
    while (j < s.size() && IsContinuation(s[j])) ++j;
    out.emplace_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

std::string Join(const std::vector<std::string>& g, size_t from, size_t to) {
  std::string s;
  for (size_t k = from; k < to; ++k) s += g[k];
  return s;
}

std::string Align(const std::string& line, Alignment a, int width) {
  const int len = static_cast<int>(CodePoints(line));
  if (len >= width || a == Alignment::kLeft) return line;
  const int pad = a == Alignment::kCenter ? (width - len) / 2 : width - len;
  return std::string(static_cast<size_t>(pad), ' ') + line;
}

}  // namespace

const char* BarcodeKindName(BarcodeKind k) {
  switch (k) {
    case BarcodeKind::kEan8:
      return "EAN-8";
    case BarcodeKind::kEan13:
      return "EAN-13";
    case BarcodeKind::kCode39:
      return "CODE 39";
    case BarcodeKind::kQr:
      return "QR";
  }
  return "?";
}

size_t CodePoints(const std::string& s) {
  return static_cast<size_t>(
      std::count_if(s.begin(), s.end(), [](char c) { return !IsContinuation(c); }));
}

void Tape::Add(TapeItem item) {
  items_.push_back(std::move(item));
  if (limit_ > 0 && items_.size() > limit_) {
    // Drop a tenth at once so a full tape does not shift on every line.
    const size_t drop = std::max<size_t>(items_.size() - limit_, limit_ / 10);
    items_.erase(items_.begin(),
                 items_.begin() + static_cast<std::ptrdiff_t>(std::min(drop, items_.size())));
  }
}

void Tape::SetLimit(size_t limit) {
  limit_ = limit;
  if (limit_ > 0 && items_.size() > limit_)
    items_.erase(items_.begin(), items_.end() - static_cast<std::ptrdiff_t>(limit_));
}

std::vector<std::string> WrapText(const TapeItem& item, int lineLength) {
  const int width = std::max(1, item.doubleWidth ? lineLength / 2 : lineLength);
  std::vector<std::string> lines;
  // Hard line breaks always break.
  std::string rest = item.text;
  std::vector<std::string> paragraphs;
  size_t start = 0;
  for (size_t i = 0; i <= rest.size(); ++i) {
    if (i == rest.size() || rest[i] == '\n') {
      std::string p = rest.substr(start, i - start);
      if (!p.empty() && p.back() == '\r') p.pop_back();
      paragraphs.push_back(std::move(p));
      start = i + 1;
    }
  }
  for (const auto& p : paragraphs) {
    const auto g = Glyphs(p);
    if (item.wrap == Wrap::kNone || static_cast<int>(g.size()) <= width) {
      // Without wrapping the printer cuts the line off at the paper's edge.
      lines.push_back(Join(g, 0, std::min<size_t>(g.size(), static_cast<size_t>(width))));
      continue;
    }
    size_t pos = 0;
    while (pos < g.size()) {
      size_t end = std::min(g.size(), pos + static_cast<size_t>(width));
      if (end < g.size() && item.wrap == Wrap::kWords) {
        size_t space = end;
        while (space > pos && g[space] != " ") --space;
        if (space > pos) end = space;
      }
      lines.push_back(Join(g, pos, end));
      pos = end;
      while (item.wrap == Wrap::kWords && pos < g.size() && g[pos] == " ") ++pos;
    }
  }
  for (auto& l : lines) l = Align(l, item.alignment, width);
  return lines;
}

std::vector<std::string> Tape::TextLines(int lineLength) const {
  std::vector<std::string> out;
  for (const auto& item : items_) {
    if (item.kind != TapeItem::Kind::kText) continue;
    auto lines = WrapText(item, lineLength);
    out.insert(out.end(), lines.begin(), lines.end());
  }
  return out;
}

std::string Tape::RenderText(int lineLength) const {
  lineLength = std::max(8, lineLength);
  std::string out;
  auto line = [&](const std::string& s) {
    out += s;
    out += '\n';
  };
  for (const auto& item : items_) {
    switch (item.kind) {
      case TapeItem::Kind::kText:
        for (const auto& l : WrapText(item, lineLength)) line(l);
        break;
      case TapeItem::Kind::kBarcode:
        line(Align("[" + std::string(BarcodeKindName(item.barcode)) + ": " + item.text + "]",
                   item.alignment, lineLength));
        break;
      case TapeItem::Kind::kPicture: {
        line(Align(
            "[picture " + std::to_string(item.width) + "x" + std::to_string(item.height) + "]",
            Alignment::kCenter, lineLength));
        if (item.width <= 0 || item.height <= 0) break;
        // One character per cell; a cell is dark when a quarter of its pixels are black.
        const int cw = std::max(1, (item.width + lineLength - 1) / lineLength);
        const int ch = cw * 2;
        for (int y = 0; y < item.height; y += ch) {
          std::string row;
          for (int x = 0; x < item.width; x += cw) {
            int black = 0, total = 0;
            for (int yy = y; yy < std::min(item.height, y + ch); ++yy)
              for (int xx = x; xx < std::min(item.width, x + cw); ++xx) {
                const size_t at = static_cast<size_t>(yy) * static_cast<size_t>(item.width) +
                                  static_cast<size_t>(xx);
                ++total;
                if (at < item.pixels.size() && item.pixels[at]) ++black;
              }
            row += (black * 4 >= total && black > 0) ? '#' : ' ';
          }
          while (!row.empty() && row.back() == ' ') row.pop_back();
          line(row);
        }
        break;
      }
      case TapeItem::Kind::kFeed:
        for (int k = 0; k < item.lines; ++k) line("");
        break;
      case TapeItem::Kind::kCut: {
        const std::string label = item.fullCut ? " cut " : " partial cut ";
        const int side = std::max(0, (lineLength - static_cast<int>(label.size())) / 2);
        line(std::string(static_cast<size_t>(side), '-') + label +
             std::string(static_cast<size_t>(
                             std::max(0, lineLength - side - static_cast<int>(label.size()))),
                         '-'));
        break;
      }
      case TapeItem::Kind::kDocumentBegin:
      case TapeItem::Kind::kDocumentEnd:
        break;
    }
  }
  return out;
}

}  // namespace vantorel::emulator
