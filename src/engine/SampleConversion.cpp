#include "engine/SampleConversion.h"

#if (defined(__SSE2__) || defined(_M_X64)) && !defined(VELORAND_CONVERSION_SCALAR)
#define VELORAND_CONVERSION_SSE2 1
#include <emmintrin.h>
#else
#define VELORAND_CONVERSION_SSE2 0
#endif

namespace {

// The plain readings. Both dither formulas are exact in double (the terms span at most
// 47 bits), so the one rounding is the conversion to float.
inline float PassThroughSample(int32_t in, uint32_t x) {
  return static_cast<float>(in * 0x1p-15 + (x % 32768u) * 0x1p-29);
}

inline float ResamplingSample(int32_t in, uint32_t x) {
  return static_cast<float>(in * 0x1p-15 + (static_cast<int32_t>(x % 65536u) - 32768) * 0x1p-31);
}

inline int32_t OutputSample(float in) {
  double v = in * 32767.0;
  // Out-of-range values (a NaN included) must not reach the integer conversion.
  if (!(v > -2147483648.0 && v < 2147483647.0)) v = v > 0.0 ? 2147483647.0 : v < 0.0 ? -2147483648.0 : 0.0;
  return static_cast<int32_t>(v);
}

#if VELORAND_CONVERSION_SSE2

// n generator steps at once: x_n = mul * x + add (mod 2^32).
struct Jump {
  uint32_t mul, add;
};
constexpr Jump JumpOf(int n) {
  Jump j{1u, 0u};
  for (int i = 0; i < n; ++i) j = {j.mul * 196314165u, j.add * 196314165u + 907633515u};
  return j;
}

// The dither reads only the low 16 bits of the generator, and those bits of an LCG
// modulo 2^32 follow the same LCG modulo 2^16 without help from the upper ones. So the
// generator runs in 16-bit lanes: eight consecutive values per vector, each advanced by
// eight steps with one 16-bit multiply and one add.
struct DitherLanes {
  __m128i x;
  explicit DitherLanes(uint32_t seed) {
    int16_t v[8];
    for (int k = 0; k < 8; ++k, seed = DitherStep(seed)) v[k] = int16_t(seed & 0xffffu);
    x = _mm_setr_epi16(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]);
  }
  void Advance() {
    constexpr Jump j8 = JumpOf(8);
    x = _mm_add_epi16(_mm_mullo_epi16(x, _mm_set1_epi16(int16_t(j8.mul & 0xffffu))),
                      _mm_set1_epi16(int16_t(j8.add & 0xffffu)));
  }
  // The generator value of the first lane (its upper bits are not kept; the dither never
  // reads them).
  uint32_t First() const { return uint32_t(_mm_cvtsi128_si32(x)) & 0xffffu; }
};

// Eight samples the plain way (inputs the integer shortcut cannot take).
template <float (*kSample)(int32_t, uint32_t)>
inline void PlainEight(const int32_t* src, float* dst, __m128i x) {
  alignas(16) uint16_t xs[8];
  _mm_store_si128(reinterpret_cast<__m128i*>(xs), x);
  for (int k = 0; k < 8; ++k) dst[k] = kSample(src[k], xs[k]);
}

// Pass-through: in * 2^-15 + d * 2^-29 = (in * 2^14 + d) * 2^-29 with d < 2^15, an int32
// while -2^16 <= in < 2^16, so one int-to-float conversion makes the one rounding and the
// scaling by a power of two is exact. Larger inputs take the plain reading.
inline void PassThroughEight(const int32_t* src, float* dst, __m128i x) {
  const __m128i s0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  const __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4));
  const __m128i fits = _mm_and_si128(_mm_cmpeq_epi32(_mm_srai_epi32(s0, 16), _mm_srai_epi32(s0, 31)),
                                     _mm_cmpeq_epi32(_mm_srai_epi32(s1, 16), _mm_srai_epi32(s1, 31)));
  if (_mm_movemask_epi8(fits) != 0xffff) return PlainEight<PassThroughSample>(src, dst, x);
  const __m128i d = _mm_and_si128(x, _mm_set1_epi16(0x7fff));
  const __m128i zero = _mm_setzero_si128();
  const __m128 scale = _mm_set1_ps(0x1p-29f);
  const __m128i v0 = _mm_add_epi32(_mm_slli_epi32(s0, 14), _mm_unpacklo_epi16(d, zero));
  const __m128i v1 = _mm_add_epi32(_mm_slli_epi32(s1, 14), _mm_unpackhi_epi16(d, zero));
  _mm_storeu_ps(dst, _mm_mul_ps(_mm_cvtepi32_ps(v0), scale));
  _mm_storeu_ps(dst + 4, _mm_mul_ps(_mm_cvtepi32_ps(v1), scale));
}

// Resampling: in * 2^-15 + (x - 32768) * 2^-31 = ((in * 2^16 | x) - 32768) * 2^-31 with
// x < 2^16, an int32 while |in| <= 32767. -32768 (and anything beyond 16 bits) takes the
// plain way.
inline void ResamplingEight(const int32_t* src, float* dst, __m128i x) {
  const __m128i s0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  const __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4));
  // in + 32767 within [0, 65534], compared unsigned by flipping the sign bits.
  const __m128i flip = _mm_set1_epi32(INT32_MIN);
  const __m128i bias = _mm_set1_epi32(32767), top = _mm_xor_si128(_mm_set1_epi32(65534), flip);
  const __m128i outside = _mm_or_si128(_mm_cmpgt_epi32(_mm_xor_si128(_mm_add_epi32(s0, bias), flip), top),
                                       _mm_cmpgt_epi32(_mm_xor_si128(_mm_add_epi32(s1, bias), flip), top));
  if (_mm_movemask_epi8(outside) != 0) return PlainEight<ResamplingSample>(src, dst, x);
  const __m128i zero = _mm_setzero_si128(), half = _mm_set1_epi32(32768);
  const __m128 scale = _mm_set1_ps(0x1p-31f);
  const __m128i v0 = _mm_sub_epi32(_mm_or_si128(_mm_slli_epi32(s0, 16), _mm_unpacklo_epi16(x, zero)), half);
  const __m128i v1 = _mm_sub_epi32(_mm_or_si128(_mm_slli_epi32(s1, 16), _mm_unpackhi_epi16(x, zero)), half);
  _mm_storeu_ps(dst, _mm_mul_ps(_mm_cvtepi32_ps(v0), scale));
  _mm_storeu_ps(dst + 4, _mm_mul_ps(_mm_cvtepi32_ps(v1), scale));
}

template <void (*kEight)(const int32_t*, float*, __m128i), float (*kSample)(int32_t, uint32_t)>
inline void ConvertInput(const int32_t* src, float* dst, int32_t count, uint32_t x) {
  int32_t i = 0;
  if (count >= 8) {
    DitherLanes lanes(x);
    for (; i + 8 <= count; i += 8) {
      kEight(src + i, dst + i, lanes.x);
      lanes.Advance();
    }
    x = lanes.First();
  }
  for (; i < count; ++i, x = DitherStep(x)) dst[i] = kSample(src[i], x);
}

#endif

}  // namespace

void ConvertInputPassThrough(const int32_t* src, float* dst, int32_t count, uint32_t seed) {
#if VELORAND_CONVERSION_SSE2
  ConvertInput<PassThroughEight, PassThroughSample>(src, dst, count, seed);
#else
  for (int32_t i = 0; i < count; ++i, seed = DitherStep(seed)) dst[i] = PassThroughSample(src[i], seed);
#endif
}

void ConvertInputResampling(const int32_t* src, float* dst, int32_t count, uint32_t seed) {
#if VELORAND_CONVERSION_SSE2
  ConvertInput<ResamplingEight, ResamplingSample>(src, dst, count, seed);
#else
  for (int32_t i = 0; i < count; ++i, seed = DitherStep(seed)) dst[i] = ResamplingSample(src[i], seed);
#endif
}

void ConvertOutput(const float* src, int32_t* dst, int32_t count) {
  int32_t i = 0;
#if VELORAND_CONVERSION_SSE2
  // In double, as the plain reading: the product of a float and 32767 is exact there, so
  // the truncation sees the true value. The conversion answers INT32_MIN for a NaN and
  // for anything out of range; a group with that value (which in range only a product
  // of exactly -2^31 gives) is done again the plain way, which saturates.
  const __m128d scale = _mm_set1_pd(32767.0);
  const __m128i invalid = _mm_set1_epi32(INT32_MIN);
  for (; i + 4 <= count; i += 4) {
    const __m128 f = _mm_loadu_ps(src + i);
    const __m128i lo = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtps_pd(f), scale));
    const __m128i hi = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(f, f)), scale));
    const __m128i v = _mm_unpacklo_epi64(lo, hi);
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(v, invalid)) != 0) {
      for (int k = 0; k < 4; ++k) dst[i + k] = OutputSample(src[i + k]);
      continue;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), v);
  }
#endif
  for (; i < count; ++i) dst[i] = OutputSample(src[i]);
}
