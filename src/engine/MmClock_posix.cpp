#include <chrono>

#include "engine/MmClock.h"

uint32_t MmPlatformTimeMs() {
  // Milliseconds of a monotonic clock, truncated to 32 bits like the multimedia timer.
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

int64_t FinePlatformTimeNs() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}
