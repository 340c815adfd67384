// A manual-reset event: once set it stays set until reset, and every waiter sees it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vantorel {

class TManualResetEvent {
 public:
  void Set() {
    {
      std::lock_guard lock(mu_);
      set_ = true;
    }
    cv_.notify_all();
  }
  void Reset() {
    std::lock_guard lock(mu_);
    set_ = false;
  }
  bool IsSet() const {
    std::lock_guard lock(mu_);
    return set_;
  }
  // A plain wait, for threads that own no automation object; true when the event was set.
  bool WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [this] { return set_; });
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool set_ = false;
};

}  // namespace vantorel
