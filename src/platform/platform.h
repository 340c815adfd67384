// Services of the operating system that the portable code needs. Each platform folder
// (windows/, posix/) implements all of them; nothing outside src/platform includes a system
// header of its own.
//
// Paths and texts are UTF-8 throughout; the Windows implementation converts to UTF-16 at the API.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantorel::platform {

// ---- Files and folders (platform/*/files.cpp) ----

// The folder under which shared application data lives, without a trailing separator.
// Windows: the common application-data folder. POSIX: $XDG_DATA_HOME, else ~/.local/share.
// Throws std::runtime_error when the system cannot tell.
std::string CommonDataFolder();
// The path separator of the platform ('\\' or '/').
char PathSeparator();
bool DirectoryExists(const std::string& path);
// Creates the folder and any missing parents. Throws std::runtime_error with the system's text.
void CreateDirectories(const std::string& path);
// Windows: grants Everyone full access (inherited) on the folder. POSIX: leaves it private to
// the user; a folder others can write into would let them redirect our appends.
void GrantEveryoneAccess(const std::string& folder);
// Appends bytes to a file, creating it when missing and denying other writers while it is open.
// What stands at the path must be a plain file, or nothing is written: a symbolic link (both
// platforms) is refused, and on Windows, where the log folder is open to every user, so are a
// junction or other reparse point, a file with more than one hard link, and any file whose final
// path is not the one `path` names below `trustedRoot` (a folder on the way replaced by a link).
// A file held by another writer is waited for at most kBusyWaitMs milliseconds. Throws
// std::runtime_error on failure.
inline constexpr int kBusyWaitMs = 250;
void AppendToFile(const std::string& path, std::string_view bytes, const std::string& trustedRoot);

// ---- The system and this library (platform/*/system.cpp) ----

struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};
LocalTime Now();
// One line describing the operating system, for the log banner.
std::string OsDescription();
// A new random GUID as 36 upper-case hexadecimal characters with dashes, no braces.
std::string NewGuid();

// ---- This library's own file (platform/*/module.cpp) ----

// Full path of the library file this code is linked into.
std::string ModuleFileName();
struct FileVersion {
  std::uint16_t major, minor, release, build;
};
// The version of the library file (the version resource on Windows, compiled in elsewhere).
FileVersion ModuleVersion();
// A data resource built into the library ("PARAMETERS", "HELP"); empty when there is none.
std::string_view Resource(std::string_view name);

}  // namespace vantorel::platform
