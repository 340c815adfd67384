// A small ZIP writer for tests: archives are made in the test, stored or deflated, and any field
// can be falsified to build a damaged or hostile archive.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vantorel::testing {

struct ZipEntry {
  std::string name;
  std::string data;
  bool deflate = false;
  // Falsifications: declared sizes and CRC (when set), flags, method, Unix mode.
  std::int64_t declaredSize = -1;
  std::int64_t crc = -1;
  std::uint16_t flags = 0;
  std::int32_t method = -1;
  std::uint32_t unixMode = 0;
};

inline void Put16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>(v >> 8 & 0xFF);
}

inline void Put32(std::string& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

inline std::string Deflate(const std::string& data) {
  z_stream zs{};
  deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, static_cast<uLong>(data.size())), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

inline std::string MakeZip(const std::vector<ZipEntry>& entries) {
  std::string body, directory;
  for (const ZipEntry& e : entries) {
    std::string packed = e.deflate ? Deflate(e.data) : e.data;
    std::uint32_t crc =
        e.crc >= 0
            ? static_cast<std::uint32_t>(e.crc)
            : static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(e.data.data()),
                                               static_cast<uInt>(e.data.size())));
    std::uint32_t size = e.declaredSize >= 0 ? static_cast<std::uint32_t>(e.declaredSize)
                                             : static_cast<std::uint32_t>(e.data.size());
    std::uint16_t method =
        e.method >= 0 ? static_cast<std::uint16_t>(e.method) : (e.deflate ? 8 : 0);
    std::uint32_t offset = static_cast<std::uint32_t>(body.size());
    Put32(body, 0x04034b50);
    Put16(body, 20);
    Put16(body, e.flags);
    Put16(body, method);
    Put32(body, 0);
    Put32(body, crc);
    Put32(body, static_cast<std::uint32_t>(packed.size()));
    Put32(body, size);
    Put16(body, static_cast<std::uint32_t>(e.name.size()));
    Put16(body, 0);
    body += e.name;
    body += packed;

    Put32(directory, 0x02014b50);
    Put16(directory, e.unixMode ? (3u << 8 | 20) : 20);
    Put16(directory, 20);
    Put16(directory, e.flags);
    Put16(directory, method);
    Put32(directory, 0);
    Put32(directory, crc);
    Put32(directory, static_cast<std::uint32_t>(packed.size()));
    Put32(directory, size);
    Put16(directory, static_cast<std::uint32_t>(e.name.size()));
    Put16(directory, 0);
    Put16(directory, 0);
    Put16(directory, 0);
    Put16(directory, 0);
    Put32(directory, e.unixMode << 16);
    Put32(directory, offset);
    directory += e.name;
  }
  std::string zip = body + directory;
  Put32(zip, 0x06054b50);
  Put16(zip, 0);
  Put16(zip, 0);
  Put16(zip, static_cast<std::uint32_t>(entries.size()));
  Put16(zip, static_cast<std::uint32_t>(entries.size()));
  Put32(zip, static_cast<std::uint32_t>(directory.size()));
  Put32(zip, static_cast<std::uint32_t>(body.size()));
  Put16(zip, 0);
  return zip;
}

// A fresh folder under the system's temporary folder, removed with everything in it.
class Sandbox {
 public:
  Sandbox()
      : path_(std::filesystem::temp_directory_path() / ("vantorel-test-" + platform::NewGuid())) {
    std::filesystem::create_directories(path_);
  }
  ~Sandbox() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const {
    std::u8string s = path_.u8string();
    return std::string(s.begin(), s.end());
  }
  // Every file and folder under the sandbox, as relative generic paths.
  std::vector<std::string> Contents() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(path_)) {
      std::u8string s = e.path().lexically_relative(path_).generic_u8string();
      out.emplace_back(s.begin(), s.end());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace vantorel::testing
