// The event is built on the standard library alone, for every platform.
#include "platform/event.h"

#include <chrono>

namespace plat {

void Event::set() {
  std::lock_guard<std::mutex> g(mu_);
  set_ = true;
  cv_.notify_all();
}

void Event::reset() {
  std::lock_guard<std::mutex> g(mu_);
  set_ = false;
}

bool Event::isset() {
  std::lock_guard<std::mutex> g(mu_);
  return set_;
}

bool Event::wait(long timeout_ms) {
  std::unique_lock<std::mutex> g(mu_);
  return cv_.wait_for(g, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms),
                      [this] { return set_; });
}

}  // namespace plat
