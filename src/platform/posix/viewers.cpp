// Linux: the log folder and the help page are handed to the desktop with xdg-open. No window
// toolkit is loaded into the host's process.
#include "platform/viewers.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

extern char** environ;

namespace vantorel::platform {

namespace {

namespace fs = std::filesystem;

// How long to wait for xdg-open's verdict. It normally returns at once; when the handler it
// starts runs in the foreground, the page is open by then and the wait ends without a verdict.
constexpr int kVerdictWaitMs = 5000;

fs::path Utf8Path(const std::string& s) { return fs::path(std::u8string(s.begin(), s.end())); }

bool IsAbsolute(const char* path) { return path && path[0] == '/'; }

std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string list = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    std::string folder = list.substr(start, end - start);
    start = end + 1;
    // Relative entries would depend on the host's current folder.
    if (folder.empty() || folder[0] != '/') continue;
    std::string candidate = folder + "/" + program;
    struct stat st {};
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return {};
}

const char* ExitMeaning(int code) {
  switch (code) {
    case 1:
      return "wrong command line";
    case 2:
      return "the file does not exist";
    case 3:
      return "no tool found to open it";
    case 4:
      return "the handler failed";
    case 126:
      return "could not be started";
    case 127:
      return "could not be run";
    default:
      return "failed";
  }
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Runs `xdg-open target` detached from the host: the host never has to reap it, and none of the
// host's open files reach the handler. A helper process waits for xdg-open and passes its exit
// code back through a pipe, so that a failure to open is reported.
[[noreturn]] void Fail(const std::string& what, const std::string& target, const std::string& why) {
  throw std::runtime_error("Cannot show " + what + " '" + target + "': " + why);
}

// xdg-open's path, after checking that there is a desktop to show things on.
std::string Opener(const std::string& target, const std::string& what) {
  auto fail = [&](const std::string& why) { Fail(what, target, why); };
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (!(x11 && *x11) && !(wayland && *wayland)) {
    fail("there is no graphical session (neither DISPLAY nor WAYLAND_DISPLAY is set)");
  }
  std::string program = FindOnPath("xdg-open");
  if (program.empty()) fail("xdg-open was not found (it comes with the xdg-utils package)");
  return program;
}

void XdgOpen(const std::string& target, const std::string& what) {
  auto fail = [&](const std::string& why) { Fail(what, target, why); };
  std::string program = Opener(target, what);

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) fail("cannot create a pipe");
  Fd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
  Fd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (devNull.get() < 0) fail("cannot open /dev/null");
  char* argv[] = {program.data(), const_cast<char*>(target.c_str()), nullptr};

  // Only async-signal-safe calls between fork and exec: the host may run other threads.
  pid_t first = fork();
  if (first < 0) fail("cannot start a process");
  if (first == 0) {
    pid_t second = fork();
    if (second != 0) _exit(second < 0 ? 1 : 0);
    pid_t opener = fork();
    if (opener == 0) {
      dup2(devNull.get(), 0);
      dup2(devNull.get(), 1);
      dup2(devNull.get(), 2);
      close_range(3, ~0U, 0);
      execve(argv[0], argv, environ);
      _exit(127);
    }
    int code = 126;
    int status = 0;
    if (opener > 0) {
      pid_t r;
      do {
        r = waitpid(opener, &status, 0);
      } while (r < 0 && errno == EINTR);
      if (r == opener) code = WIFEXITED(status) ? WEXITSTATUS(status) : 4;
    }
    unsigned char byte = static_cast<unsigned char>(code);
    ssize_t ignored = write(writeEnd.get(), &byte, 1);
    (void)ignored;
    _exit(0);
  }
  writeEnd.reset();
  int status = 0;
  while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
  }

  pollfd p{readEnd.get(), POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, kVerdictWaitMs);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return;  // still running: the handler is up
  unsigned char code = 0;
  if (read(readEnd.get(), &code, 1) == 1 && code != 0) {
    fail("xdg-open exited with code " + std::to_string(code) + " (" + ExitMeaning(code) + ")");
  }
}

// The user's cache folder for the help page: $XDG_CACHE_HOME or ~/.cache, then vantorel/help.
fs::path HelpCacheFolder() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (IsAbsolute(cache)) return fs::path(cache) / "vantorel" / "help";
  const char* home = std::getenv("HOME");
  if (IsAbsolute(home)) return fs::path(home) / ".cache" / "vantorel" / "help";
  throw std::runtime_error("Cannot show the help: neither XDG_CACHE_HOME nor HOME is set");
}

}  // namespace

void ShowLogViewer(const std::string& logDirectory) { XdgOpen(logDirectory, "the log folder"); }

void ShowDocument(const std::string& htmlPath, const std::string&) {
  // The renderer deletes its folder as soon as this returns, and the browser reads the page
  // later: the page and what it links go to a per-user cache folder that the next call
  // replaces. The caption has no place here: the browser shows the page's own title.
  const fs::path source = Utf8Path(htmlPath);
  Opener(htmlPath, "the help page");
  const fs::path cache = HelpCacheFolder();
  std::error_code ec;
  fs::remove_all(cache, ec);
  if (ec)
    throw std::runtime_error("Cannot clear the folder '" + cache.string() + "': " + ec.message());
  fs::create_directories(cache, ec);
  if (ec) {
    throw std::runtime_error("Cannot create the folder '" + cache.string() + "': " + ec.message());
  }
  fs::permissions(cache.parent_path(), fs::perms::owner_all, fs::perm_options::replace, ec);
  fs::permissions(cache, fs::perms::owner_all, fs::perm_options::replace, ec);
  for (const fs::directory_entry& entry : fs::directory_iterator(source.parent_path(), ec)) {
    // The packed archive is of no use to the browser.
    if (entry.path().filename() == "md.zip") continue;
    std::error_code copyEc;
    fs::copy(entry.path(), cache / entry.path().filename(), fs::copy_options::recursive, copyEc);
    if (copyEc) {
      throw std::runtime_error("Cannot copy the help page to '" + cache.string() +
                               "': " + copyEc.message());
    }
  }
  if (ec) throw std::runtime_error("Cannot read the folder of '" + htmlPath + "': " + ec.message());
  XdgOpen((cache / source.filename()).string(), "the help page");
}

}  // namespace vantorel::platform
