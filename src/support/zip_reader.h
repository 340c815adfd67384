// Extraction of a ZIP archive held in memory into a folder, for the help archive.
//
// The archive is read through its central directory; entries are stored or deflated (zlib's raw
// inflate). Nothing is written before every entry has been checked, and nothing is ever written
// outside the target folder: a name that climbs out, is absolute, carries a drive letter, a
// backslash, a stream colon or a device name rejects the whole archive. The inflated size is
// capped per archive, and an entry that inflates beyond the size it declares is an error, so a
// compression bomb stops at the cap instead of filling the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantorel::zip {

struct Limits {
  std::uint64_t maxTotalBytes = 64ull << 20;  // all entries inflated together
  std::size_t maxEntries = 1000;
};

// Extracts every entry into `folder` (which must exist). Folder entries become folders, file
// entries files; nothing else (links, devices) is ever created. Throws std::runtime_error with
// a readable text for a damaged, unsupported or hostile archive.
void ExtractAll(std::string_view archive, const std::string& folder, const Limits& limits = {});

// The relative path, with '/' separators, under which an entry name may be written; throws
// std::runtime_error when the name is unsafe. A trailing '/' (a folder entry) is dropped.
std::string SafeEntryPath(std::string_view name);

}  // namespace vantorel::zip
