// Shared helpers of the kernel tests: an owning handle for a filter bank and the
// engine's design parameters.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "polyphase/ResamplePolyphase.h"

namespace polyphase_test {

struct StateDeleter {
  void operator()(ResamplePolyphaseState* s) const { ippsResamplePolyphaseFree_32f(s); }
};
using StatePtr = std::unique_ptr<ResamplePolyphaseState, StateDeleter>;

inline StatePtr MakeState(float window, int32_t phases, float rollOff, float alpha, int32_t hint = 1) {
  ResamplePolyphaseState* s = nullptr;
  const int32_t st = ippsResamplePolyphaseInitAlloc_32f(&s, window, phases, rollOff, alpha, hint);
  EXPECT_EQ(st, ippStsNoErr) << "window " << window << " phases " << phases;
  return StatePtr(st == ippStsNoErr ? s : nullptr);
}

// The engine's filter banks: 128 entries per input sample, roll-off 0.95, alpha 8.
inline StatePtr MakeEngineState(float window) { return MakeState(window, 128, 0.95f, 8.0f, 1); }

}  // namespace polyphase_test
