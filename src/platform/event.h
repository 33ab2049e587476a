// A manual-reset event: stays set until reset; any number of waiters.
#pragma once
#include <condition_variable>
#include <mutex>

namespace plat {

class Event {
 public:
  void set();
  void reset();
  bool isset();
  // Waits until set or timeout_ms elapse. Returns true when set.
  bool wait(long timeout_ms);

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool set_ = false;
};

}  // namespace plat
