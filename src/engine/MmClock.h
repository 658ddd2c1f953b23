// The engine's clocks behind one replaceable seam. MmTimeMs() is the millisecond clock of
// the multimedia timer (rate meters, block timing, last push/pull times); FineTimeNs() is
// the finer clock the ratio control filters its block times with (QueryPerformanceCounter
// on Windows, a monotonic clock elsewhere).
//
// Tests and the drift simulator replace the clocks so they can drive time: SetFineClock
// installs a nanosecond clock that drives both readings (MmTimeMs is then its reading in
// whole milliseconds); SetMmClock installs a millisecond clock that the fine reading follows
// too (in whole milliseconds), so a test that only knows milliseconds still drives every
// time reading the engine makes.
// Any thread, real-time safe: atomic loads and an indirect call. Install before the
// device threads start.
#pragma once

#include <cstdint>

using MmClockFunction = uint32_t (*)();
using FineClockFunction = int64_t (*)();

// Milliseconds of the platform's multimedia timer (timeGetTime on Windows, a monotonic
// millisecond clock elsewhere), or of the installed replacement. Wraps after ~49.7 days.
uint32_t MmTimeMs();

// Nanoseconds of the platform's finest monotonic clock (or of the installed replacement);
// only differences are meaningful.
int64_t FineTimeNs();

// Installs a replacement millisecond clock; nullptr restores the platform clock. Returns
// the clock that was installed before. An installed fine clock takes precedence.
MmClockFunction SetMmClock(MmClockFunction clock);

// Installs a replacement nanosecond clock that drives both readings; nullptr removes it.
// Returns the previous replacement (nullptr when there was none).
FineClockFunction SetFineClock(FineClockFunction clock);

// The platform clocks themselves, whatever is installed.
uint32_t MmPlatformTimeMs();
int64_t FinePlatformTimeNs();
