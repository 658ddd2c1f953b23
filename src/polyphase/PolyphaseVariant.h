// Which instruction-set variant the resampling run uses. ippsSelectVariant picks the best
// one the processor supports, once; tests and measurements may force one to compare them.
// Any thread; the switch is atomic, and runs already under way finish with the loops they
// started with.
#pragma once

#include <cstdint>

enum class PolyphaseVariant : int32_t {
  Portable = 0,  // SSE2 on x86-64, plain C++ elsewhere
  Avx2Fma = 1,   // four double lanes with fused multiply-add and gathers
};

PolyphaseVariant PolyphaseCurrentVariant();

// Switches to v; false (nothing changes) when the processor or the build lacks it.
bool PolyphaseUseVariant(PolyphaseVariant v);
