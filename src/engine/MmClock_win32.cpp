#include <windows.h>
#include <mmsystem.h>

#include "engine/MmClock.h"

uint32_t MmPlatformTimeMs() { return timeGetTime(); }

int64_t FinePlatformTimeNs() {
  // The counter frequency is fixed at boot; read it once. Whole seconds and the remainder
  // are scaled apart so that counter x 10^9 cannot overflow 64 bits (at 10 MHz it would
  // after about 15 minutes).
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? static_cast<int64_t>(f.QuadPart) : int64_t{1000};
  }();
  LARGE_INTEGER c;
  if (!QueryPerformanceCounter(&c)) return static_cast<int64_t>(timeGetTime()) * 1000000;
  const int64_t counter = c.QuadPart;
  return counter / frequency * 1000000000 + counter % frequency * 1000000000 / frequency;
}
