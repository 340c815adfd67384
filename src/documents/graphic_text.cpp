#include "documents/graphic_text.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "platform/text_render.h"
#include "support/equipment_errors.h"
#include "support/text.h"

namespace vantorel {

std::size_t GraphicPicture::BlackCount() const {
  return static_cast<std::size_t>(
      std::count_if(pixels.begin(), pixels.end(), [](std::uint8_t p) { return p != 0; }));
}

namespace graphic_text {

namespace {

bool ContainsIgnoreCase(std::string_view haystack, std::string_view needle) {
  return text::AsciiLower(haystack).find(needle) != std::string::npos;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// "gtN]" at `pos` with N from 1 to 5; returns N or 0.
int TagTail(std::string_view s, std::size_t pos) {
  if (pos + 4 > s.size()) return 0;
  if (Lower(s[pos]) != 'g' || Lower(s[pos + 1]) != 't' || s[pos + 3] != ']') return 0;
  char digit = s[pos + 2];
  return (digit >= '1' && digit <= '5') ? digit - '0' : 0;
}

}  // namespace

FontStyle ParseFontStyle(std::string_view words) {
  FontStyle style;
  std::size_t start = 0;
  while (start <= words.size()) {
    std::size_t end = words.find(' ', start);
    if (end == std::string_view::npos) end = words.size();
    std::string word = text::AsciiLower(words.substr(start, end - start));
    if (word == "bold")
      style.bold = true;
    else if (word == "italic")
      style.italic = true;
    else if (word == "underline")
      style.underline = true;
    else if (word == "strikeout")
      style.strikeout = true;
    start = end + 1;
  }
  return style;
}

std::string StyleWords(bool bold, bool italic, bool strikeout, bool underline) {
  std::string words;
  if (bold) words += "bold ";
  if (italic) words += "italic ";
  if (strikeout) words += "strikeout ";
  if (underline) words += "underline";
  return words;
}

std::uint32_t LayoutFlags(std::string_view align, std::string_view valign, bool multiline) {
  std::uint32_t flags = 0;
  if (ContainsIgnoreCase(align, "center"))
    flags |= tfCenter;
  else if (ContainsIgnoreCase(align, "right"))
    flags |= tfRight;
  if (ContainsIgnoreCase(valign, "center"))
    flags |= tfVCenter;
  else if (ContainsIgnoreCase(valign, "bottom"))
    flags |= tfBottom;
  return flags | (multiline ? kMultilineFlags : kSingleLineFlags);
}

int FontPixelHeight(int points) {
  // Rounded as the system's MulDiv rounds: half away from zero.
  long long scaled = static_cast<long long>(points) * kDpi;
  return static_cast<int>(scaled >= 0 ? (scaled + 36) / 72 : (scaled - 36) / 72);
}

int PrintHeightMm(std::int32_t fontSize) {
  return static_cast<int>(std::lround(static_cast<double>(fontSize) * 0.376));
}

GraphicPicture Render(std::string_view text, int widthMm, int heightMm, int fontSize,
                      std::string_view fontName, std::string_view fontStyle, std::string_view align,
                      std::string_view valign, bool multiline) {
  if (widthMm <= 0 || widthMm > kMaxWidthMm)
    throw errors::InputError("Ширина графического текста " + std::to_string(widthMm) +
                             " мм вне допустимого диапазона 1.." + std::to_string(kMaxWidthMm));
  if (fontSize > kMaxFontSize)
    throw errors::InputError("Размер шрифта графического текста " + std::to_string(fontSize) +
                             " больше " + std::to_string(kMaxFontSize));
  if (text.size() > kMaxTextBytes)
    throw errors::InputError("Графический текст длиннее " + std::to_string(kMaxTextBytes) +
                             " байт");

  const int dots = DotsPerMm(kDpi);
  GraphicPicture picture;
  picture.width = widthMm * dots / 8 * 8;
  if (text.empty()) return picture;

  platform::TextRenderRequest request;
  request.text = std::string(text);
  request.fontName = std::string(fontName);
  request.pixelHeight = FontPixelHeight(fontSize > 0 ? fontSize : kDefaultFontSize);
  FontStyle style = ParseFontStyle(fontStyle);
  request.bold = style.bold;
  request.italic = style.italic;
  request.underline = style.underline;
  request.strikeout = style.strikeout;
  request.format = LayoutFlags(align, valign, multiline);
  request.width = widthMm * dots;
  request.height = std::clamp(heightMm, 0, kMaxHeightPixels / dots) * dots;
  request.maxHeight = kMaxHeightPixels;

  platform::TextRaster raster;
  try {
    raster = platform::RenderText(request);
  } catch (const std::length_error&) {
    throw errors::InputError("Графический текст выше " + std::to_string(kMaxHeightPixels) +
                             " точек");
  }
  if (raster.width != request.width || raster.height < 0 ||
      raster.pixels.size() != static_cast<std::size_t>(raster.width) * raster.height)
    throw std::runtime_error("Графический текст: растр неверного размера");

  picture.height = raster.height;
  picture.pixels.reserve(static_cast<std::size_t>(picture.width) * picture.height);
  for (int y = 0; y < raster.height; ++y) {
    auto row = raster.pixels.begin() + static_cast<std::ptrdiff_t>(y) * raster.width;
    picture.pixels.insert(picture.pixels.end(), row, row + picture.width);
  }
  return picture;
}

std::optional<Tag> FindTag(std::string_view line) {
  std::size_t open = std::string_view::npos, close = std::string_view::npos;
  int group = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '[') continue;
    if (open == std::string_view::npos) {
      if (int n = TagTail(line, i + 1)) {
        open = i;
        group = n;
      }
    }
    if (close == std::string_view::npos) {
      std::size_t k = i + 1;
      while (k < line.size() && line[k] == '/') ++k;
      if (k > i + 1 && TagTail(line, k)) close = i;
    }
    if (open != std::string_view::npos && close != std::string_view::npos) break;
  }
  if (open == std::string_view::npos || close == std::string_view::npos) return std::nullopt;
  std::size_t textStart = open + 5;  // "[gtN]"
  Tag tag;
  tag.group = group;
  if (close > textStart) tag.text = std::string(line.substr(textStart, close - textStart));
  return tag;
}

// ---- PNG ----

namespace {

const std::array<std::uint32_t, 256>& CrcTable() {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

void PutBigEndian(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void PutChunk(std::string& out, const char* type, const std::string& data) {
  PutBigEndian(out, static_cast<std::uint32_t>(data.size()));
  std::string body = std::string(type, 4) + data;
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char ch : body) crc = CrcTable()[(crc ^ ch) & 0xFF] ^ (crc >> 8);
  out += body;
  PutBigEndian(out, crc ^ 0xFFFFFFFFu);
}

// A zlib stream of stored (uncompressed) blocks: a 1-bit picture is small enough as it is, and
// the library then needs no compressor.
std::string StoredZlib(const std::string& raw) {
  std::string out("\x78\x01", 2);
  std::size_t pos = 0;
  do {
    std::size_t len = std::min<std::size_t>(raw.size() - pos, 65535);
    bool last = pos + len == raw.size();
    out.push_back(static_cast<char>(last ? 1 : 0));
    out.push_back(static_cast<char>(len & 0xFF));
    out.push_back(static_cast<char>(len >> 8));
    out.push_back(static_cast<char>(~len & 0xFF));
    out.push_back(static_cast<char>((~len >> 8) & 0xFF));
    out.append(raw, pos, len);
    pos += len;
  } while (pos < raw.size());
  std::uint32_t a = 1, b = 0;
  for (unsigned char ch : raw) {
    a = (a + ch) % 65521;
    b = (b + a) % 65521;
  }
  PutBigEndian(out, (b << 16) | a);
  return out;
}

}  // namespace

std::string EncodePng(const GraphicPicture& picture) {
  if (picture.width < 0 || picture.height < 0 ||
      picture.pixels.size() != static_cast<std::size_t>(picture.width) * picture.height)
    throw std::invalid_argument("EncodePng: the picture's size does not match its pixels");
  // PNG has no empty picture: a picture without rows becomes one white row.
  const int width = std::max(picture.width, 1), height = std::max(picture.height, 1);
  const std::size_t rowBytes = (static_cast<std::size_t>(width) + 7) / 8;

  std::string raw;
  raw.reserve((rowBytes + 1) * height);
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // filter: none
    for (std::size_t byte = 0; byte < rowBytes; ++byte) {
      unsigned bits = 0xFF;  // grey 1 is white
      for (int bit = 0; bit < 8; ++bit) {
        std::size_t x = byte * 8 + bit;
        if (y < picture.height && x < static_cast<std::size_t>(picture.width) &&
            picture.pixels[static_cast<std::size_t>(y) * picture.width + x])
          bits &= ~(0x80u >> bit);
      }
      raw.push_back(static_cast<char>(bits));
    }
  }

  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::string header;
  PutBigEndian(header, static_cast<std::uint32_t>(width));
  PutBigEndian(header, static_cast<std::uint32_t>(height));
  header += std::string("\x01\x00\x00\x00\x00", 5);  // 1 bit, greyscale, deflate, no interlace
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", StoredZlib(raw));
  PutChunk(png, "IEND", {});
  return png;
}

void WritePng(const GraphicPicture& picture, const std::string& path) {
  std::string png = EncodePng(picture);
  // The path is UTF-8 on every platform.
  std::ofstream file(std::filesystem::path(std::u8string(path.begin(), path.end())),
                     std::ios::binary | std::ios::trunc);
  file.write(png.data(), static_cast<std::streamsize>(png.size()));
  file.close();
  if (!file) throw std::runtime_error("Не удалось записать файл " + path);
}

}  // namespace graphic_text

std::vector<std::uint8_t> GetGraphicText(std::string_view text, int widthMm, int heightMm,
                                         int fontSize, std::string_view fontName,
                                         std::string_view fontStyle, std::string_view align,
                                         std::string_view valign, bool multiline) {
  return graphic_text::Render(text, widthMm, heightMm, fontSize, fontName, fontStyle, align, valign,
                              multiline)
      .pixels;
}

}  // namespace vantorel
