// The lines of standard input, read on a thread of their own so that a participant's loop never
// waits on them. `take` hands over what arrived; `ended` tells that the input reached its end
// (call it before `take`: once it says so, every line has been queued). The reader thread is
// detached and lives as long as the process.
#pragma once

#include <atomic>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace quern::room {

class StdinLines {
 public:
  void start() {
    std::thread([this] {
      std::string line;
      while (std::getline(std::cin, line)) {
        std::lock_guard lock(mu_);
        lines_.push_back(line);
      }
      ended_ = true;
    }).detach();
  }
  std::deque<std::string> take() {
    std::lock_guard lock(mu_);
    return std::exchange(lines_, {});
  }
  bool ended() const { return ended_; }

 private:
  std::mutex mu_;
  std::deque<std::string> lines_;
  std::atomic<bool> ended_{false};
};

}  // namespace quern::room
