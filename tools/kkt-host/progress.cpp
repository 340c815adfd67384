#include "progress.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace kkthost {

Ticker::Ticker(std::string text, bool enabled) : text_(std::move(text)) {
  if (enabled) thread_ = std::thread([this] { Run(); });
}

Ticker::~Ticker() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mu_);
    done_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

void Ticker::Run() {
  using namespace std::chrono;
  const auto start = steady_clock::now();
  std::unique_lock lock(mu_);
  // Quick calls show nothing.
  if (cv_.wait_for(lock, seconds(1), [this] { return done_; })) return;
  while (!done_) {
    const double s = duration<double>(steady_clock::now() - start).count();
    char tail[64];
    std::snprintf(tail, sizeof tail, " ... %.0f s (still running)", s);
    const std::string line = text_ + tail;
    std::size_t width = 0;
    for (unsigned char c : line) width += (c & 0xC0) != 0x80;
    std::fprintf(stderr, "\r%s", line.c_str());
    if (width < shown_) std::fprintf(stderr, "%*s", static_cast<int>(shown_ - width), "");
    std::fflush(stderr);
    shown_ = std::max(shown_, width);
    cv_.wait_for(lock, milliseconds(500), [this] { return done_; });
  }
  std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown_), "");
  std::fflush(stderr);
}

}  // namespace kkthost
