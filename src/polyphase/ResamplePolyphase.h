// Polyphase resampling kernel: a Kaiser-windowed sinc filter bank and the run that
// resamples one channel by a per-call factor with a carried time position.
// Creation allocates (call it at initialisation); the run and the move never allocate
// and may run on any thread, several at once on one state.
#pragma once

#include <cstdint>

// Kernel status values.
enum : int32_t {
  ippStsNoErr = 0,
  ippStsMemAllocErr = -4,
  ippStsBadArgErr = -5,
  ippStsSizeErr = -6,
  ippStsNullPtrErr = -8,
};

// Creation hint: 2 asks for accuracy, anything else for speed. Recorded only.
enum : int32_t {
  ippAlgHintFast = 1,
  ippAlgHintAccurate = 2,
};

// One filter bank: the record and its table live in one 32-byte aligned block.
struct ResamplePolyphaseState {
  int32_t phaseCount;   // table entries per input sample
  int32_t tableLength;  // L = half + 1 distinct entries
  float gain;           // 1.0 at creation
  uint32_t hintFlags;   // bit 0: hint 2; bit 1: any other hint
  float* filter;        // L + 1 entries; entry L repeats entry L - 1
};

int32_t ippsResamplePolyphaseInitAlloc_32f(ResamplePolyphaseState** state, float window, int32_t phases,
                                           float rollOff, float alpha, int32_t hint);
int32_t ippsResamplePolyphaseFree_32f(ResamplePolyphaseState* state);
int32_t ippsResamplePolyphase_32f(const ResamplePolyphaseState* state, const float* src, int32_t length, float* dst,
                                  double factor, float norm, double* time, int32_t* outCount);
int32_t ippsMove_32f(const float* src, float* dst, int32_t length);

// Picks the processor-specific variant on the first call; later calls do nothing.
void ippsSelectVariant();
