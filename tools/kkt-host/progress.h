// A progress line for long calls on a terminal: after a second, stderr shows what is running and
// for how long, refreshed until the call returns, then the line is cleared.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace kkthost {

class Ticker {
 public:
  // `text` names what runs ("ProcessCheck", "line 12 (3 of 40): ProcessCheck"); nothing is shown
  // when `enabled` is false (stderr is not a terminal).
  Ticker(std::string text, bool enabled);
  ~Ticker();
  Ticker(const Ticker&) = delete;
  Ticker& operator=(const Ticker&) = delete;

 private:
  void Run();

  std::string text_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::size_t shown_ = 0;  // characters on the line now
  std::thread thread_;
};

}  // namespace kkthost
