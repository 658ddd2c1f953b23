// The resampler's sample conversions: device-scale integers to float with the engine's
// dither on the way in, float to device-scale integers on the way out. They run once per
// sample and channel on the device threads, so they are written as vector loops; every
// result is bit for bit the one of the plain reading (the dither formula evaluated in
// double and rounded once to float; the output scaled in double and truncated).
//
// Free functions, any thread, real-time safe: no allocation, no lock, no state.
#pragma once

#include <cstdint>

// Generator of the per-channel dither: x <- x * 196314165 + 907633515 (mod 2^32).
constexpr uint32_t DitherStep(uint32_t x) { return x * 196314165u + 907633515u; }

// dst[i] = in * 2^-15 + (x mod 32768) * 2^-29: a non-negative dither below 2^-14, used
// when the block passes through without resampling. x starts at seed and takes one
// generator step per sample (the dither of a sample uses x before the step).
void ConvertInputPassThrough(const int32_t* src, float* dst, int32_t count, uint32_t seed);

// dst[i] = in * 2^-15 + ((x mod 65536) - 32768) * 2^-31: a uniform dither in
// [-2^-16, 2^-16), half a 16-bit step, used ahead of the resampling kernel.
void ConvertInputResampling(const int32_t* src, float* dst, int32_t count, uint32_t seed);

// dst[i] = trunc(src[i] * 32767.0), evaluated in double; values beyond the int32 range
// saturate and a NaN gives 0.
void ConvertOutput(const float* src, int32_t* dst, int32_t count);
