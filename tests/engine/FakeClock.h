// A settable engine clock for tests: installed for the life of the object.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/MmClock.h"

class FakeClock {
 public:
  explicit FakeClock(uint32_t startMs = 1000) {
    Now().store(startMs);
    previous_ = SetMmClock(&Read);
  }
  ~FakeClock() { SetMmClock(previous_); }
  void Set(uint32_t ms) { Now().store(ms); }
  void Advance(uint32_t ms) { Now().fetch_add(ms); }
  uint32_t Get() const { return Now().load(); }

 private:
  static std::atomic<uint32_t>& Now() {
    static std::atomic<uint32_t> now{1000};
    return now;
  }
  static uint32_t Read() { return Now().load(); }
  MmClockFunction previous_;
};
