// What a person sees of the virtual register's paper tape: a text picture for the terminal and
// an HTML page for a browser. Both lay text out as the register does (WrapText), draw barcodes
// as barcodes (when zint is there), pictures as pixels, cuts and document boundaries.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vregister/tape.h"

namespace vantorel::emulator {

struct TapeView {
  int lineLength = 48;      // characters per line
  int lineLengthPix = 576;  // dots per line
  std::string title;        // page title
  // Facts shown above the paper (register, file, ...), label and value.
  std::vector<std::pair<std::string, std::string>> facts;
};

// Terminal picture: the paper between side rules, document boundaries as notes outside it,
// double-width text with spaced letters, QR codes in block characters when `blocks` is set (a
// terminal with a monospace font and UTF-8), other barcodes as their data.
std::string RenderTapeText(const std::vector<TapeItem>& items, const TapeView& view, bool blocks);

// A self-contained HTML page (no outside files): barcodes as inline SVG, pictures as BMP data.
std::string RenderTapeHtml(const std::vector<TapeItem>& items, const TapeView& view);

// ---- pictures

// A picture of the tape as a PNG file's bytes (1-bit greyscale, black ink on white).
std::string PicturePng(const TapeItem& item);
// Every picture of the tape as picture-N.png in `folder` (made when needed), in tape order;
// returns the files written.
std::vector<std::filesystem::path> WritePicturesPng(const std::vector<TapeItem>& items,
                                                    const std::filesystem::path& folder);

// ---- barcodes
bool BarcodesDrawable();  // false when built without zint

struct BarcodeModules {
  int width = 0;  // modules
  int height = 0;
  std::vector<bool> dark;  // row by row
  bool at(int x, int y) const {
    return x >= 0 && y >= 0 && x < width && y < height &&
           dark[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
  }
};

// The modules of a two-dimensional code (QR), or nothing with `error` set.
std::optional<BarcodeModules> BarcodeMatrix(const TapeItem& item, std::string* error);
// An SVG element of the barcode at its printed size (module width item.scale dots, bar height
// item.height dots), with its human-readable text when the item asks for it; nothing with
// `error` set when it cannot be drawn.
std::optional<std::string> BarcodeSvg(const TapeItem& item, std::string* error);

// Text escaped for HTML element content and attribute values.
std::string HtmlEscape(const std::string& s);

}  // namespace vantorel::emulator
