// The tape's pictures as PNG files: 1-bit greyscale, one filter byte a row, zlib-compressed.
#include <zlib.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <stdexcept>

#include "vregister/tape_render.h"

namespace vantorel::emulator {

namespace {

void Put32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void Chunk(std::string& out, const char* type, const std::string& data) {
  Put32(out, static_cast<std::uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  out += body;
  Put32(out, static_cast<std::uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(body.data()),
                                              static_cast<uInt>(body.size()))));
}

}  // namespace

std::string PicturePng(const TapeItem& item) {
  if (item.kind != TapeItem::Kind::kPicture || item.width <= 0 || item.height <= 0 ||
      item.pixels.size() < static_cast<size_t>(item.width) * static_cast<size_t>(item.height))
    throw std::invalid_argument("not a picture of the tape");
  const size_t rowBytes = (static_cast<size_t>(item.width) + 7) / 8;
  std::string raw;
  raw.reserve((rowBytes + 1) * static_cast<size_t>(item.height));
  for (int y = 0; y < item.height; ++y) {
    raw.push_back('\0');  // no filter
    const std::uint8_t* row = item.pixels.data() + static_cast<size_t>(y) * item.width;
    for (size_t b = 0; b < rowBytes; ++b) {
      std::uint8_t byte = 0xFF;  // white: greyscale 1
      for (int bit = 0; bit < 8; ++bit) {
        const size_t x = b * 8 + static_cast<size_t>(bit);
        if (x < static_cast<size_t>(item.width) && row[x])
          byte &= static_cast<std::uint8_t>(~(0x80 >> bit));
      }
      raw.push_back(static_cast<char>(byte));
    }
  }
  uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
  std::string packed(packedSize, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
                reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                Z_BEST_COMPRESSION) != Z_OK)
    throw std::runtime_error("PNG: compression failed");
  packed.resize(packedSize);

  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::string header;
  Put32(header, static_cast<std::uint32_t>(item.width));
  Put32(header, static_cast<std::uint32_t>(item.height));
  header +=
      std::string("\x01\x00\x00\x00\x00", 5);  // 1 bit, greyscale, deflate, no filter, no interlace
  Chunk(png, "IHDR", header);
  Chunk(png, "IDAT", packed);
  Chunk(png, "IEND", "");
  return png;
}

std::vector<std::filesystem::path> WritePicturesPng(const std::vector<TapeItem>& items,
                                                    const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  std::vector<std::filesystem::path> written;
  int n = 0;
  for (const auto& item : items) {
    if (item.kind != TapeItem::Kind::kPicture || item.width <= 0 || item.height <= 0) continue;
    const auto file = folder / ("picture-" + std::to_string(++n) + ".png");
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    const std::string png = PicturePng(item);
    out.write(png.data(), static_cast<std::streamsize>(png.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
    written.push_back(file);
  }
  return written;
}

}  // namespace vantorel::emulator
