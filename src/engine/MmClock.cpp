#include "engine/MmClock.h"

#include <atomic>

namespace {
// nullptr means the platform clock, so the common case costs one load and a direct call.
std::atomic<MmClockFunction> g_clock{nullptr};
}  // namespace

uint32_t MmTimeMs() {
  MmClockFunction clock = g_clock.load(std::memory_order_acquire);
  return clock ? clock() : MmPlatformTimeMs();
}

MmClockFunction SetMmClock(MmClockFunction clock) {
  MmClockFunction previous = g_clock.exchange(clock, std::memory_order_acq_rel);
  return previous ? previous : &MmPlatformTimeMs;
}
