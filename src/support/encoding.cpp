#include "support/encoding.h"

#include "support/text.h"

namespace vantorel::encoding {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The upper halves of the two code pages, as Unicode.
constexpr char16_t kCp1251[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039,
    0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB,
    0x0458, 0x0405, 0x0455, 0x0457};
constexpr char16_t kCp866[48] = {
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580};
constexpr char16_t kCp866Tail[16] = {0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,
                                     0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0};

char16_t Cp1251Char(unsigned char b) {
  if (b < 0x80) return b;
  if (b >= 0xC0) return static_cast<char16_t>(0x0410 + (b - 0xC0));
  return kCp1251[b - 0x80];
}

char16_t Cp866Char(unsigned char b) {
  if (b < 0x80) return b;
  if (b < 0xB0) return static_cast<char16_t>(0x0410 + (b - 0x80));  // А..п
  if (b < 0xE0) return kCp866[b - 0xB0];
  if (b < 0xF0) return static_cast<char16_t>(0x0440 + (b - 0xE0));  // р..я
  return kCp866Tail[b - 0xF0];
}
}  // namespace

std::optional<std::vector<std::uint8_t>> Base64Decode(std::string_view text) {
  std::vector<std::uint8_t> out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t acc = 0;
  int bits = 0, padding = 0;
  for (char c : text) {
    if (c == ' ' || c == '\r' || c == '\n' || c == '\t') continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    const int v = Sextet(c);
    if (v < 0 || padding > 0) return std::nullopt;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xFF));
    }
  }
  if (padding > 2) return std::nullopt;
  return out;
}

std::string Base64Encode(const std::vector<std::uint8_t>& bytes, bool lineBreaks) {
  std::string out;
  std::size_t column = 0;
  auto put = [&](char c) {
    if (lineBreaks && column == 76) {
      out += "\r\n";
      column = 0;
    }
    out += c;
    ++column;
  };
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::uint32_t n = (static_cast<std::uint32_t>(bytes[i]) << 16) |
                            (i + 1 < bytes.size() ? bytes[i + 1] << 8 : 0) |
                            (i + 2 < bytes.size() ? bytes[i + 2] : 0);
    put(kAlphabet[(n >> 18) & 63]);
    put(kAlphabet[(n >> 12) & 63]);
    put(i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=');
    put(i + 2 < bytes.size() ? kAlphabet[n & 63] : '=');
  }
  return out;
}

std::string Cp1251ToUtf8(std::string_view bytes) {
  std::u16string u;
  u.reserve(bytes.size());
  for (char c : bytes) u += Cp1251Char(static_cast<unsigned char>(c));
  return text::ToUtf8(u);
}

std::string Cp866ToUtf8(std::string_view bytes) {
  std::u16string u;
  u.reserve(bytes.size());
  for (char c : bytes) u += Cp866Char(static_cast<unsigned char>(c));
  return text::ToUtf8(u);
}

std::string Utf8ToCp1251(std::string_view utf8) {
  std::string out;
  for (char16_t c : text::ToUtf16(utf8)) {
    if (c < 0x80) {
      out += static_cast<char>(c);
      continue;
    }
    char found = '?';
    for (int b = 0x80; b <= 0xFF; ++b)
      if (Cp1251Char(static_cast<unsigned char>(b)) == c) {
        found = static_cast<char>(b);
        break;
      }
    out += found;
  }
  return out;
}

}  // namespace vantorel::encoding
