// A bound with a hysteresis, for a count checked before it grows: once the
// count reaches the cap an episode begins in which every check is refused,
// until the count is back at four fifths of the cap (with `below`: under
// it), so that a count at the cap does not log an episode per check. The
// owner serialises the calls; episode() may be read from any thread.
#pragma once
#include <atomic>
#include <cstdint>
#include <utility>

class Hysteresis {
 public:
  struct Check {
    bool admit, began, ended;  // ended: an episode, after `refused` refusals
    unsigned long refused;
  };

  // REQUIRES: cap > 0.
  void setcap(uint32_t cap, bool below) {
    cap_ = cap;
    low_ = (uint32_t)((uint64_t)cap * 4 / 5);
    if (below && low_ > 0) low_--;
  }

  Check check(uint32_t count) {
    Check c{true, false, false, 0};
    if (episode() && count <= low_) c = {true, false, true, end()};
    if (!episode() && count < cap_) return c;
    c.admit = false;
    c.began = !episode_.exchange(true);
    refused_++;
    return c;
  }

  // Ends the episode at once; returns its refusals.
  unsigned long end() {
    episode_.store(false);
    return std::exchange(refused_, 0);
  }

  bool episode() const { return episode_.load(); }

 private:
  uint32_t cap_ = 0, low_ = 0;
  std::atomic<bool> episode_{false};
  unsigned long refused_ = 0;
};
