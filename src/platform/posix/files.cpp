#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace vantorel::platform {

namespace {

std::string ErrorText(int err) {
  char buf[256];
  // GNU strerror_r may return a static text instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return text ? text : "unknown error";
}

[[noreturn]] void Fail(const std::string& what, const std::string& path, int err) {
  throw std::runtime_error(what + " '" + path + "': " + ErrorText(err));
}

bool IsAbsolute(const char* path) { return path && path[0] == '/'; }

std::string HomeFromPasswd() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (true) {
    int rc = getpwuid_r(geteuid(), &entry, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    break;
  }
  return found && IsAbsolute(found->pw_dir) ? std::string(found->pw_dir) : std::string();
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace

// Relative values are ignored, as the XDG rules ask: they would depend on the current folder.
std::string CommonDataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (IsAbsolute(xdg)) return xdg;
  std::string home;
  const char* env = std::getenv("HOME");
  if (IsAbsolute(env))
    home = env;
  else
    home = HomeFromPasswd();
  // No fallback to the temporary folder: it is shared with every user, who could prepare the
  // log folder there for us.
  if (home.empty())
    throw std::runtime_error(
        "Cannot find the data folder: neither XDG_DATA_HOME nor HOME is set to an absolute "
        "path, and the user has no home folder in the user database");
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home + (home == "/" ? "" : "/") + ".local/share";
}

char PathSeparator() { return '/'; }

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Folders we create are private to the user (0700); existing ones are left as they are.
void CreateDirectories(const std::string& path) {
  if (path.empty()) throw std::runtime_error("Cannot create a folder with an empty name");
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    std::string prefix = path.substr(0, pos);
    if (prefix.empty() || prefix.back() == '/') continue;  // repeated separators
    if (mkdir(prefix.c_str(), 0700) == 0) continue;
    int err = errno;
    if (err == EEXIST && DirectoryExists(prefix)) continue;
    if (err == EEXIST) err = ENOTDIR;
    if (prefix == path) Fail("Cannot create the folder", path, err);
    throw std::runtime_error("Cannot create the folder '" + path + "': '" + prefix +
                             "': " + ErrorText(err));
  }
}

// Nothing to grant: the log folder stays private. A folder others could write into would let
// them replace a log file by a link and redirect our appends into any file we can write.
void GrantEveryoneAccess(const std::string&) {}

void AppendToFile(const std::string& path, std::string_view bytes, const std::string&) {
  // O_NOFOLLOW refuses a symbolic link in place of the file; O_NONBLOCK keeps a FIFO put there
  // from blocking us until a reader appears (it is refused below).
  Fd fd(open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
             0600));
  if (fd.get() < 0) {
    int err = errno;
    if (err == ELOOP)
      throw std::runtime_error("Cannot open the file '" + path + "': it is a symbolic link");
    Fail("Cannot open the file", path, err);
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) Fail("Cannot open the file", path, errno);
  if (!S_ISREG(st.st_mode))
    throw std::runtime_error("Cannot open the file '" + path + "': it is not a regular file");
  int flags = fcntl(fd.get(), F_GETFL);
  if (flags >= 0) fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);

  // Other processes running this library append to the same daily file. Their appends take
  // moments; a process that keeps the lock longer is not waited for without end.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyWaitMs);
  while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err == EINTR) continue;
    if (err != EWOULDBLOCK) Fail("Cannot lock the file", path, err);
    if (std::chrono::steady_clock::now() >= deadline)
      throw std::runtime_error("Cannot lock the file '" + path + "': another process holds it");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = write(fd.get(), data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("Cannot write the file", path, errno);
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  // Delayed write errors (a full disk over NFS) surface at close.
  if (close(fd.release()) != 0 && errno != EINTR) Fail("Cannot write the file", path, errno);
}

}  // namespace vantorel::platform
