// A one-shot stopwatch: armed with a delay, expired once that much time has
// passed since it was (re)started.
#pragma once

#include <cstdint>

class CReconnectTimer {
  public:
    void restart(uint64_t now_ms) { start_ = now_ms; }
    void set_delay(uint64_t ms) { delay_ = ms; }
    void disarm() { delay_ = 0; }
    bool armed() const { return delay_ != 0; }
    bool expired(uint64_t now_ms) const { return delay_ != 0 && now_ms - start_ >= delay_; }

  private:
    uint64_t start_ = 0;
    uint64_t delay_ = 0;
};
