#include "engine/MmClock.h"

#include <atomic>

namespace {
// nullptr means the platform clock, so the common case costs one load and a direct call.
std::atomic<MmClockFunction> g_clock{nullptr};
std::atomic<FineClockFunction> g_fine{nullptr};
}  // namespace

uint32_t MmTimeMs() {
  if (FineClockFunction fine = g_fine.load(std::memory_order_acquire))
    return static_cast<uint32_t>(static_cast<uint64_t>(fine() / 1000000));
  MmClockFunction clock = g_clock.load(std::memory_order_acquire);
  return clock ? clock() : MmPlatformTimeMs();
}

int64_t FineTimeNs() {
  if (FineClockFunction fine = g_fine.load(std::memory_order_acquire)) return fine();
  // A millisecond replacement drives the fine reading as well, so a test's clock is the
  // only time the engine sees.
  if (MmClockFunction clock = g_clock.load(std::memory_order_acquire))
    return static_cast<int64_t>(clock()) * 1000000;
  return FinePlatformTimeNs();
}

MmClockFunction SetMmClock(MmClockFunction clock) {
  MmClockFunction previous = g_clock.exchange(clock, std::memory_order_acq_rel);
  return previous ? previous : &MmPlatformTimeMs;
}

FineClockFunction SetFineClock(FineClockFunction clock) {
  return g_fine.exchange(clock, std::memory_order_acq_rel);
}
