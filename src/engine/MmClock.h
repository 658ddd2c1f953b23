// The one millisecond clock of the engine: every "milliseconds of the multimedia timer"
// reading (rate meters, block timing, last push/pull times) goes through MmTimeMs().
// Tests and the drift simulator install their own clock function so they can drive time.
// Any thread, real-time safe: one atomic load and an indirect call.
#pragma once

#include <cstdint>

using MmClockFunction = uint32_t (*)();

// Milliseconds of the platform's multimedia timer (timeGetTime on Windows, a monotonic
// millisecond clock elsewhere), or of the installed replacement. Wraps after ~49.7 days.
uint32_t MmTimeMs();

// Installs a replacement clock; nullptr restores the platform clock. Returns the clock
// that was installed before. Install before the device threads start.
MmClockFunction SetMmClock(MmClockFunction clock);

// The platform clock itself, whatever is installed.
uint32_t MmPlatformTimeMs();
