// The paper tape of the virtual register: everything it printed, in order, with enough detail to
// draw it again (as text here; as HTML elsewhere).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/automation.h"

namespace vantorel::emulator {

enum class Alignment { kLeft = 0, kCenter = 1, kRight = 2 };
enum class Wrap { kNone = 0, kWords = 1, kChars = 2 };
enum class BarcodeKind { kEan8, kEan13, kCode39, kQr };

struct TapeItem {
  enum class Kind {
    kText,  // one printText call (may wrap over several lines)
    kBarcode,
    kPicture,        // a pixel buffer: one byte per pixel, 1 black, rows without fill
    kFeed,           // lines fed
    kCut,            // full or partial cut
    kDocumentBegin,  // start of a document (fiscal, non-fiscal, report); `text` names it
    kDocumentEnd,
  };
  Kind kind = Kind::kText;
  std::string text;  // text, barcode data, document title
  int font = 0;      // 0 = the register's default
  bool doubleWidth = false;
  bool doubleHeight = false;
  Alignment alignment = Alignment::kLeft;
  Wrap wrap = Wrap::kNone;
  BarcodeKind barcode = BarcodeKind::kEan13;
  bool barcodeText = false;  // human-readable digits under the barcode
  int scale = 0;
  int width = 0;  // picture width in pixels; barcode height in dots is `height`
  int height = 0;
  automation::Bytes pixels;
  int lines = 0;        // kFeed
  bool fullCut = true;  // kCut
  friend bool operator==(const TapeItem&, const TapeItem&) = default;
};

class Tape {
 public:
  // Items beyond the limit drop the oldest ones first (a long-lived register keeps the recent
  // paper).
  explicit Tape(size_t limit = 20000) : limit_(limit) {}

  void Add(TapeItem item);
  const std::vector<TapeItem>& items() const { return items_; }
  void Clear() { items_.clear(); }
  void SetLimit(size_t limit);
  size_t limit() const { return limit_; }

  // Plain-text rendering at the given characters per line: text wrapped and aligned as printed,
  // barcodes and pictures as bracketed notes (pictures also as a coarse block drawing), feeds as
  // empty lines, cuts as a dashed line with "cut" or "partial cut".
  std::string RenderText(int lineLength) const;
  // The printed lines of text items only (each text item wrapped into its lines), handy in tests.
  std::vector<std::string> TextLines(int lineLength) const;

 private:
  std::vector<TapeItem> items_;
  size_t limit_;
};

// The lines a text item occupies on paper at the given width (characters; halved for double width).
std::vector<std::string> WrapText(const TapeItem& item, int lineLength);
// The barcode type as a person reads it ("EAN-13", "QR", ...).
const char* BarcodeKindName(BarcodeKind kind);
// Number of UTF-8 code points of a text.
size_t CodePoints(const std::string& s);

}  // namespace vantorel::emulator
