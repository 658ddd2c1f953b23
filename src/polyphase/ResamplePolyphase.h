// Polyphase resampling kernel: a Kaiser-windowed sinc filter bank and the run that
// resamples one channel by a per-call factor with a carried time position.
// Creation allocates (call it at initialisation, never on a device thread); the run and
// the move never allocate, take no lock and may run on any thread, several at once on
// one state. Every operation returns one of the status values below.
#pragma once

#include <cstdint>

// Kernel status values.
enum : int32_t {
  ippStsNoErr = 0,
  ippStsMemAllocErr = -4,
  ippStsBadArgErr = -5,   // a filter-design argument is out of range
  ippStsSizeErr = -6,     // a size, the factor or the time position is out of range
  ippStsNullPtrErr = -8,
};

// Creation hint: 2 asks for accuracy, anything else for speed. Recorded only.
enum : int32_t {
  ippAlgHintFast = 1,
  ippAlgHintAccurate = 2,
};

// One filter bank: the record and its table live in one 32-byte aligned block.
// Behind the table the same block holds the coefficients rearranged tap by tap for each
// phase (in double precision) so that the run at factors of 1 and above reads them
// contiguously, and for the run below factor 1 the coefficients a sample of each phase
// gives its neighbouring instants (entry and difference to the next, in double); both
// are derived from `filter` and change no result.
struct ResamplePolyphaseState {
  int32_t phaseCount;   // table entries per input sample
  int32_t tableLength;  // L = half + 1 distinct entries
  float gain;           // 1.0 at creation
  uint32_t hintFlags;   // bit 0: hint 2; bit 1: any other hint
  float* filter;        // L + 1 entries; entry L repeats entry L - 1
};

// Creates a filter bank of `window` input samples full width, `phases` table entries per
// input sample, cut-off `rollOff` × input Nyquist (0 < rollOff <= 1), Kaiser `alpha` >= 1.
// Writes *state only on success. Returns -8, -6, -5 (also for a window so wide that the
// table would not be addressable, or an alpha whose Bessel weight overflows) or -4.
// Not real-time safe: allocates and runs half + 1 Bessel series.
int32_t ippsResamplePolyphaseInitAlloc_32f(ResamplePolyphaseState** state, float window, int32_t phases,
                                           float rollOff, float alpha, int32_t hint);

// Releases a filter bank; -8 for a missing pointer. Not real-time safe.
int32_t ippsResamplePolyphaseFree_32f(ResamplePolyphaseState* state);

// Produces the outputs for instants t0, t0 + 1/factor, ... below trunc(t0) + length, where
// t0 = *time is measured in input samples from src[0]; stores the next instant in *time and
// the number of outputs in *outCount. At factor >= 1 it reads src[trunc(t) - K + 1] ...
// src[trunc(t) + K] for each instant, K = ceil(tableLength / phaseCount) (window + 1
// samples for the engine's tables); below factor 1 src[trunc(t) - C + 1] ... src[trunc(t) + C],
// C the most taps a side can have at that factor (about window / 2 / factor; 61 for window
// 15 at factor 0.125), whatever the instant's fraction. The caller keeps that reach valid
// and finite. *time must lie in [0, 2^31) and the
// factor must be positive and finite (-6 otherwise).
// Real-time safe: no allocation, no lock; writes only dst, *time and *outCount. Below
// factor 1 the run keeps its working buffers on the stack (about 130 KB).
int32_t ippsResamplePolyphase_32f(const ResamplePolyphaseState* state, const float* src, int32_t length, float* dst,
                                  double factor, float norm, double* time, int32_t* outCount);

// The run over `channels` channels at once, all at the same instants: src[c] and dst[c]
// as src and dst above, one time and one output count for all, the same instants and
// reach as ippsResamplePolyphase_32f on each channel. An instant's coefficients are worked
// out once for all channels, which makes a call over n channels much cheaper than n
// calls. Below factor 1 each channel's outputs are the single-channel run's bit for bit;
// at 1 and above they are summed in another order (the instant's two coefficient rows
// blended first), so they may differ from it in the last bit of float. -8 also for a
// missing channel pointer, -6 also for channels <= 0. Real-time safe: no allocation (up to
// 16 channels share the work; beyond that factor >= 1 runs channel by channel).
int32_t ippsResamplePolyphaseChannels_32f(const ResamplePolyphaseState* state, const float* const* src,
                                          int32_t channels, int32_t length, float* const* dst, double factor,
                                          float norm, double* time, int32_t* outCount);

// Copies length floats from src to dst; the ranges may overlap. Real-time safe.
int32_t ippsMove_32f(const float* src, float* dst, int32_t length);

// Picks the processor-specific variant on the first call (AVX2 + FMA loops on x86-64
// processors that have them, in builds with GCC or Clang, the Windows executables
// included; the portable loops otherwise); later calls do nothing. Until it is called the portable loops run. Every
// variant computes the same results to float rounding. Any thread; not needed on the
// audio path (the engine calls it at initialisation). See polyphase/PolyphaseVariant.h.
void ippsSelectVariant();
