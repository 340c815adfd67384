#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "platform/platform.h"

namespace vantorel::platform {

namespace {

bool ReadUrandom(unsigned char* out, std::size_t size) {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, out + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  return got == size;
}

void RandomBytes(unsigned char* out, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = getrandom(out + got, size - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // ENOSYS on old kernels, or a seccomp filter
    got += static_cast<std::size_t>(n);
  }
  if (got == size || ReadUrandom(out, size)) return;
  throw std::runtime_error("Cannot obtain random bytes for a new identifier");
}

}  // namespace

LocalTime Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  return LocalTime{local.tm_year + 1900,
                   local.tm_mon + 1,
                   local.tm_mday,
                   local.tm_hour,
                   local.tm_min,
                   local.tm_sec,
                   static_cast<int>(ts.tv_nsec / 1000000)};
}

// The same shape as on Windows: system name, then its release and the machine in parentheses,
// e.g. "Linux 6.1.0-18-amd64 (x86_64)".
std::string OsDescription() {
  utsname u{};
  if (uname(&u) != 0) return "Unknown";
  return std::string(u.sysname) + " " + u.release + " (" + u.machine + ")";
}

// A version 4 (random) identifier.
std::string NewGuid() {
  unsigned char b[16];
  RandomBytes(b, sizeof b);
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  char out[40];
  std::snprintf(out, sizeof out,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return out;
}

}  // namespace vantorel::platform
