#include "support/zip_reader.h"

#include <zlib.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace vantorel::zip {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kMaxNameBytes = 1024;
constexpr std::size_t kMaxDepth = 32;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error("ZIP archive: " + what);
}

[[noreturn]] void FailEntry(std::string_view name, const std::string& what) {
  Fail("entry '" + std::string(name) + "': " + what);
}

std::uint16_t U16(std::string_view b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                    static_cast<unsigned char>(b[at + 1]) << 8);
}

std::uint32_t U32(std::string_view b, std::size_t at) {
  return static_cast<std::uint32_t>(U16(b, at)) | static_cast<std::uint32_t>(U16(b, at + 2)) << 16;
}

bool ValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    std::size_t n;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      n = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Names that Windows maps to devices whatever their extension ("nul.txt" is the null device).
bool IsDeviceName(std::string_view component) {
  std::string base;
  for (char c : component) {
    if (c == '.') break;
    base += AsciiUpper(c);
  }
  while (!base.empty() && base.back() == ' ') base.pop_back();
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" ||
      base == "CONOUT$") {
    return true;
  }
  if (!base.starts_with("COM") && !base.starts_with("LPT")) return false;
  const std::string_view digit = std::string_view(base).substr(3);
  // Windows counts the superscript digits one, two and three as port numbers too.
  return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" ||
         digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

fs::path Utf8Path(std::string_view s) { return fs::path(std::u8string(s.begin(), s.end())); }

struct Entry {
  std::string name;
  std::string path;  // checked relative path
  bool folder;
  std::uint16_t method;
  std::uint32_t crc;
  std::uint32_t packedSize;
  std::uint32_t size;
  std::uint32_t localOffset;
};

struct Directory {
  std::vector<Entry> entries;
  std::size_t dataEnd;  // packed data lies before the central directory
};

Directory ReadDirectory(std::string_view zip, const Limits& limits) {
  if (zip.size() < kEndSize) Fail("too short to be an archive");
  // The end record sits at the end, followed only by its comment of at most 65535 bytes.
  std::size_t end = std::string_view::npos;
  std::size_t lowest = zip.size() > kEndSize + 0xFFFF ? zip.size() - kEndSize - 0xFFFF : 0;
  for (std::size_t at = zip.size() - kEndSize + 1; at-- > lowest;) {
    if (U32(zip, at) == kEndSignature && at + kEndSize + U16(zip, at + 20) <= zip.size()) {
      end = at;
      break;
    }
  }
  if (end == std::string_view::npos) Fail("no end-of-archive record");
  std::uint16_t disk = U16(zip, end + 4), cdDisk = U16(zip, end + 6);
  std::uint16_t onDisk = U16(zip, end + 8), total = U16(zip, end + 10);
  std::uint32_t cdSize = U32(zip, end + 12), cdOffset = U32(zip, end + 16);
  if (total == 0xFFFF || cdSize == 0xFFFFFFFF || cdOffset == 0xFFFFFFFF)
    Fail("ZIP64 not supported");
  if (disk != 0 || cdDisk != 0 || onDisk != total) Fail("multi-part archives are not supported");
  if (total > limits.maxEntries) {
    Fail(std::to_string(total) + " entries, more than the " + std::to_string(limits.maxEntries) +
         " allowed");
  }
  if (std::uint64_t{cdOffset} + cdSize > end) Fail("central directory out of bounds");

  Directory dir{{}, cdOffset};
  std::vector<Entry>& entries = dir.entries;
  std::uint64_t declared = 0;
  std::size_t at = cdOffset;
  const std::size_t cdEnd = std::size_t{cdOffset} + cdSize;
  for (std::uint16_t i = 0; i < total; ++i) {
    if (at + kCentralSize > cdEnd || U32(zip, at) != kCentralSignature) {
      Fail("central directory damaged");
    }
    std::uint16_t madeBy = U16(zip, at + 4), flags = U16(zip, at + 8), method = U16(zip, at + 10);
    std::uint16_t nameLen = U16(zip, at + 28), extraLen = U16(zip, at + 30);
    std::uint16_t commentLen = U16(zip, at + 32);
    std::size_t next = at + kCentralSize + nameLen + extraLen + commentLen;
    if (next > cdEnd) Fail("central directory damaged");
    Entry e;
    e.name.assign(zip.substr(at + kCentralSize, nameLen));
    e.method = method;
    e.crc = U32(zip, at + 16);
    e.packedSize = U32(zip, at + 20);
    e.size = U32(zip, at + 24);
    e.localOffset = U32(zip, at + 42);
    std::uint32_t external = U32(zip, at + 38);
    at = next;

    e.path = SafeEntryPath(e.name);
    e.folder = e.name.back() == '/';
    if (flags & 0x0041) FailEntry(e.name, "encrypted entries are not supported");
    if (method != 0 && method != 8) {
      FailEntry(e.name, "compression method " + std::to_string(method) + " is not supported");
    }
    if (e.size == 0xFFFFFFFF || e.packedSize == 0xFFFFFFFF || e.localOffset == 0xFFFFFFFF) {
      FailEntry(e.name, "ZIP64 not supported");
    }
    // Unix file types travel in the high half of the external attributes; only plain files and
    // folders are taken, never links.
    if ((madeBy >> 8) == 3) {
      std::uint32_t type = (external >> 16) & 0xF000;
      if (type != 0 && type != 0x8000 && type != 0x4000) {
        FailEntry(e.name, "only files and folders are allowed");
      }
    }
    if (e.folder && e.size != 0) FailEntry(e.name, "a folder entry with content");
    if (method == 0 && e.packedSize != e.size) FailEntry(e.name, "stored sizes differ");
    declared += e.size;
    if (declared > limits.maxTotalBytes) {
      Fail("inflates to more than " + std::to_string(limits.maxTotalBytes) + " bytes");
    }
    entries.push_back(std::move(e));
  }
  return dir;
}

// Where the entry's packed bytes are, after its local header.
std::string_view PackedData(std::string_view zip, const Entry& e, std::size_t dataEnd) {
  std::size_t at = e.localOffset;
  if (std::uint64_t{at} + kLocalSize > dataEnd || U32(zip, at) != kLocalSignature) {
    FailEntry(e.name, "local header damaged");
  }
  std::uint64_t data = std::uint64_t{at} + kLocalSize + U16(zip, at + 26) + U16(zip, at + 28);
  if (data + e.packedSize > dataEnd) FailEntry(e.name, "data out of bounds");
  return zip.substr(static_cast<std::size_t>(data), e.packedSize);
}

class Inflater {
 public:
  Inflater() {
    if (inflateInit2(&zs_, -MAX_WBITS) != Z_OK) throw std::runtime_error("zlib: out of memory");
  }
  ~Inflater() { inflateEnd(&zs_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  z_stream* operator->() { return &zs_; }
  z_stream* get() { return &zs_; }

 private:
  z_stream zs_{};
};

void WriteEntry(std::string_view packed, const Entry& e, const fs::path& target) {
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  if (!out) FailEntry(e.name, "cannot create the file");
  std::uint64_t written = 0;
  uLong crc = crc32(0, nullptr, 0);
  auto put = [&](const char* data, std::size_t n) {
    // The declared size is what the caps were checked against: a single byte more is refused.
    if (written + n > e.size) FailEntry(e.name, "inflates beyond its declared size");
    out.write(data, static_cast<std::streamsize>(n));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(n));
    written += n;
  };
  if (e.method == 0) {
    put(packed.data(), packed.size());
  } else {
    Inflater zs;
    zs->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    zs->avail_in = static_cast<uInt>(packed.size());
    std::array<char, 64 * 1024> buf;
    for (;;) {
      zs->next_out = reinterpret_cast<Bytef*>(buf.data());
      zs->avail_out = static_cast<uInt>(buf.size());
      int rc = inflate(zs.get(), Z_NO_FLUSH);
      put(buf.data(), buf.size() - zs->avail_out);
      if (rc == Z_STREAM_END) break;
      if (rc == Z_BUF_ERROR && zs->avail_in == 0) FailEntry(e.name, "packed data cut short");
      if (rc != Z_OK) FailEntry(e.name, std::string("damaged: ") + (zs->msg ? zs->msg : "inflate"));
    }
  }
  if (written != e.size) FailEntry(e.name, "shorter than its declared size");
  if (crc != e.crc) FailEntry(e.name, "checksum mismatch");
  out.close();
  if (!out) FailEntry(e.name, "cannot write the file");
}

}  // namespace

std::string SafeEntryPath(std::string_view name) {
  if (name.empty()) Fail("an entry without a name");
  if (name.size() > kMaxNameBytes) FailEntry(name.substr(0, 64), "name too long");
  if (!ValidUtf8(name)) FailEntry(name, "name is not valid UTF-8");
  for (char c : name) {
    auto u = static_cast<unsigned char>(c);
    // A backslash is a separator on Windows, a colon a drive or a data stream.
    if (u < 0x20 || u == 0x7F || c == '\\' || c == ':' || c == '<' || c == '>' || c == '"' ||
        c == '|' || c == '?' || c == '*') {
      FailEntry(name, "unsafe character in the name");
    }
  }
  if (name.front() == '/') FailEntry(name, "absolute path");
  std::string_view rest = name;
  if (rest.back() == '/') rest.remove_suffix(1);
  std::string out;
  std::size_t depth = 0;
  while (true) {
    std::size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    if (part.empty()) FailEntry(name, "empty path component");
    if (part == "." || part == "..") FailEntry(name, "relative path component");
    // Windows drops trailing dots and blanks, which would make two names one.
    if (part.back() == '.' || part.back() == ' ') FailEntry(name, "name ends with a dot or blank");
    if (IsDeviceName(part)) FailEntry(name, "device name");
    if (++depth > kMaxDepth) FailEntry(name, "too deep");
    if (!out.empty()) out += '/';
    out += part;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return out;
}

void ExtractAll(std::string_view archive, const std::string& folder, const Limits& limits) {
  // Every name and size is checked before the first byte is written.
  Directory dir = ReadDirectory(archive, limits);
  const fs::path root = Utf8Path(folder);
  for (const Entry& e : dir.entries) {
    fs::path target = root / Utf8Path(e.path);
    std::error_code ec;
    if (e.folder) {
      fs::create_directories(target, ec);
      if (ec) FailEntry(e.name, "cannot create the folder: " + ec.message());
      continue;
    }
    std::string_view packed = PackedData(archive, e, dir.dataEnd);
    fs::create_directories(target.parent_path(), ec);
    if (ec) FailEntry(e.name, "cannot create the folder: " + ec.message());
    if (fs::is_directory(target, ec)) FailEntry(e.name, "a folder of that name exists");
    WriteEntry(packed, e, target);
  }
}

}  // namespace vantorel::zip
