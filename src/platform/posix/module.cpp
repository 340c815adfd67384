#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <string>

#include "platform/platform.h"

namespace vantorel::resources {
// Generated from resources/ at build time (library vantorel_resources).
std::string_view Find(std::string_view name);
}  // namespace vantorel::resources

namespace vantorel::platform {

std::string ModuleFileName() {
  Dl_info info{};
  // Any address inside this library names the file it was loaded from.
  if (!dladdr(reinterpret_cast<const void*>(&ModuleFileName), &info) || !info.dli_fname) {
    return {};
  }
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved)) return resolved;
  return info.dli_fname;
}

FileVersion ModuleVersion() {
  return {VANTOREL_VERSION_MAJOR, VANTOREL_VERSION_MINOR, VANTOREL_VERSION_PATCH,
          VANTOREL_VERSION_BUILD};
}

std::string_view Resource(std::string_view name) { return resources::Find(name); }

}  // namespace vantorel::platform
