// A bound with a hysteresis, for a count checked before it grows: once the
// count reaches the cap, an episode begins in which every check is refused,
// until the count has fallen to four fifths of the cap. A bound that flapped
// at the cap would log an episode per connection. Not locked: the owner
// serialises the calls; only `episode()` may be read from any thread.
#pragma once
#include <atomic>
#include <cstdint>

class Hysteresis {
 public:
  struct Check {
    bool admit;
    bool began;             // this check began an episode
    bool ended;             // this check ended one, which refused `refused`
    unsigned long refused;
  };

  // `below`: the episode lasts until the count is below four fifths of the
  // cap, not just at it. REQUIRES: cap > 0.
  void setcap(uint32_t cap, bool below) {
    cap_ = cap;
    low_ = (uint32_t)((uint64_t)cap * 4 / 5);
    if (below && low_ > 0) low_--;
  }

  Check check(uint32_t count) {
    Check c{true, false, false, 0};
    if (episode() && count <= low_) {
      c.ended = true;
      c.refused = end();
    }
    if (!episode() && count < cap_) return c;
    c.admit = false;
    c.began = !episode_.exchange(true);
    refused_++;
    return c;
  }

  // Ends the episode at once; returns what it refused.
  unsigned long end() {
    unsigned long n = refused_;
    episode_.store(false);
    refused_ = 0;
    return n;
  }

  bool episode() const { return episode_.load(); }

 private:
  uint32_t cap_ = 0;
  uint32_t low_ = 0;
  std::atomic<bool> episode_{false};
  unsigned long refused_ = 0;
};
