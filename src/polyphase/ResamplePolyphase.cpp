#include "polyphase/ResamplePolyphase.h"

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "polyphase/PolyphaseVariant.h"

#if defined(__SSE2__) && !defined(VELORAND_POLYPHASE_SCALAR)
#define VELORAND_POLYPHASE_SSE2 1
#include <emmintrin.h>
#else
#define VELORAND_POLYPHASE_SSE2 0
#endif

// An AVX2 + FMA variant of the run (both branches), compiled with a per-function
// target so the rest of the program keeps the x86-64 baseline; ippsSelectVariant turns it
// on only when the processor reports both extensions. Compilers without per-function
// targets build the portable variant alone. On Windows, GCC keeps the stack only 16-byte
// aligned but spills 256-bit values with aligned moves; there the AVX2 loops are built
// only when the assembler rewrites those moves as unaligned ones (src/polyphase's
// CMakeLists.txt), and they keep no 32-byte values in memory of their own.
#if defined(_WIN32) && defined(__GNUC__) && !defined(__clang__) && !defined(VELORAND_POLYPHASE_UNALIGNED_VECTOR_MOVES)
#define VELORAND_POLYPHASE_STACK_UNSAFE_FOR_AVX 1
#else
#define VELORAND_POLYPHASE_STACK_UNSAFE_FOR_AVX 0
#endif
#if VELORAND_POLYPHASE_SSE2 && defined(__GNUC__) && defined(__x86_64__) && !VELORAND_POLYPHASE_STACK_UNSAFE_FOR_AVX
#define VELORAND_POLYPHASE_AVX2 1
#include <immintrin.h>
#define VELORAND_TARGET_AVX2 __attribute__((target("avx2,fma")))
#else
#define VELORAND_POLYPHASE_AVX2 0
#endif

#if defined(__GNUC__)
#define VELORAND_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define VELORAND_ALWAYS_INLINE inline
#endif

// Layout of the state block (one allocation, 32-byte aligned):
//   [record][filter: L + 1 floats][pad to 32][phase rows: n × 2·Ke doubles, when used]
//   [pad to 32][entry pairs: (L + n + 1) × 2 doubles, when used]
//
// The phase rows serve the run at factors of 1 and above. There an instant at
// t = i + frac reads x[−K+1] ... x[K] (x = src + i, K = ceil(L / n)), and the taps of one
// side sit exactly n table entries apart: read from the table they need a stride of n and
// two entries per tap. Instead, for every phase φ < n the block holds, in double
// precision and in the order of the left side's samples x[−K+1] ... x[0]:
//   P[m] = F[φ + k·n],  Q[m] = F[φ + k·n + 1],  m = K − 1 − k,
// with zeros for the taps the side does not have (φ + k·n >= L). Away from the nudge (see
// kRowGuard) the left side of an instant with φ = trunc(n·frac), d = n·frac − φ uses
// phase φ with weights (1 − d, d), and the right side uses phase n − 1 − φ with the roles
// of P and Q swapped (it sits at fraction 1 − d), read against the samples x[K] ... x[1].
// So an output is two contiguous dot products: no gathers, no conversions of
// coefficients; the samples are widened to double once per chunk, forwards and reversed,
// into small stack buffers. Each row is padded to an even length Ke so that every row
// starts 16-byte aligned.
//
// The entry pairs serve the run below factor 1, where every tap has a position of its own
// and so an interpolation fraction of its own: pair q holds F[q] and F[q + 1] − F[q] as
// doubles, so a tap's coefficient F[q] + d·(F[q + 1] − F[q]) takes one 16-byte load and
// one multiply-add, with no conversion (the difference of two floats is exact in double).
//
// Instants the rows cannot express (the nudge moves a side's phase: about one in 25 000
// instants; or d is exactly 0 at the one phase whose right-hand last tap sits on L) take
// the plain two-sided reading of the table. Designs whose rows would be unreasonably
// large (very wide windows or huge phase counts) have no rows and always take it.

namespace {

constexpr double kPi = 3.141592653589793;
// Pulls a phase position that lies a hair below an integer up to that integer, so that
// rounding noise in the time does not switch phases; the tiny negative interpolation
// fraction that results is a harmless extrapolation.
constexpr double kPhaseNudge = 0.00001;
constexpr std::size_t kBlockAlign = 32;
// Largest 2K served by the phase rows and the stack buffer (window 63 at n = 128).
constexpr int32_t kMaxRowTaps = 64;
constexpr std::size_t kMaxRowBytes = std::size_t(8) << 20;
constexpr std::size_t kMaxPairBytes = std::size_t(8) << 20;
// The rows serve instants whose interpolation fraction d keeps at least this far from 0
// and 1 (or is exactly 0): there the nudge cannot move either side's phase, so the left
// side takes phase φ and the right side n − 1 − φ, as the rows assume. The margin over
// the nudge absorbs the rounding of n·(1 − frac) against n − n·frac.
constexpr double kRowGuard = 2 * kPhaseNudge;
// Samples widened per chunk in the run at factors of 1 and above.
constexpr int32_t kChunk = 256;
// Largest reach (taps a side) whose tap offsets j·s the run below factor 1 tabulates per
// call: window 31 at factor 0.125 has 125.
constexpr int32_t kMaxTabledReach = 160;

std::size_t AlignUp(std::size_t v, std::size_t a) { return (v + a - 1) / a * a; }

// Taps on one side of an output instant at most: ceil(L / n).
int32_t SideTaps(int32_t tableLength, int32_t phaseCount) {
  return int32_t((int64_t(tableLength) + phaseCount - 1) / phaseCount);
}

std::size_t RowsOffset(int32_t tableLength) {
  return AlignUp(sizeof(ResamplePolyphaseState) + (std::size_t(tableLength) + 1) * sizeof(float), kBlockAlign);
}

int32_t RowStride(int32_t K) { return 2 * (K + (K & 1)); }

// Bytes of phase rows a design carries; 0 when it has none.
std::size_t RowBytes(int32_t tableLength, int32_t phaseCount) {
  const int32_t K = SideTaps(tableLength, phaseCount);
  if (2 * int64_t(K) > kMaxRowTaps) return 0;
  const std::size_t bytes = std::size_t(phaseCount) * std::size_t(RowStride(K)) * sizeof(double);
  return bytes <= kMaxRowBytes ? bytes : 0;
}

const double* PhaseRows(const ResamplePolyphaseState* s) {
  if (RowBytes(s->tableLength, s->phaseCount) == 0) return nullptr;
  return reinterpret_cast<const double*>(reinterpret_cast<const unsigned char*>(s) + RowsOffset(s->tableLength));
}

// L pairs, then zero pairs for the positions of masked taps, which reach less than one
// tap spacing (below n entries) beyond the table.
std::size_t PairCount(int32_t tableLength, int32_t phaseCount) {
  return std::size_t(tableLength) + std::size_t(phaseCount) + 1;
}

std::size_t PairsOffset(int32_t tableLength, int32_t phaseCount) {
  return AlignUp(RowsOffset(tableLength) + RowBytes(tableLength, phaseCount), kBlockAlign);
}

// Bytes of entry pairs a design carries; 0 when it has none (tables beyond what any
// sensible design needs are read the plain way instead).
std::size_t PairBytes(int32_t tableLength, int32_t phaseCount) {
  const std::size_t bytes = PairCount(tableLength, phaseCount) * 2 * sizeof(double);
  return bytes <= kMaxPairBytes ? bytes : 0;
}

const double* EntryPairs(const ResamplePolyphaseState* s) {
  if (PairBytes(s->tableLength, s->phaseCount) == 0) return nullptr;
  return reinterpret_cast<const double*>(reinterpret_cast<const unsigned char*>(s) +
                                         PairsOffset(s->tableLength, s->phaseCount));
}

void FillEntryPairs(double* pairs, const float* F, int32_t L, int32_t n) {
  for (int32_t q = 0; q < L; ++q) {
    pairs[2 * q] = F[q];
    pairs[2 * q + 1] = double(F[q + 1]) - double(F[q]);
  }
  for (std::size_t e = 2 * std::size_t(L); e < 2 * PairCount(L, n); ++e) pairs[e] = 0.0;
}

void FillPhaseRows(double* rows, const float* F, int32_t n, int32_t L) {
  const int32_t K = SideTaps(L, n);
  const int32_t stride = RowStride(K);
  for (int32_t phi = 0; phi < n; ++phi) {
    double* P = rows + std::size_t(phi) * std::size_t(stride);
    double* Q = P + stride / 2;
    for (int32_t m = 0; m < stride / 2; ++m) P[m] = Q[m] = 0.0;
    for (int32_t k = 0; k < K; ++k) {
      const int64_t q = int64_t(phi) + int64_t(k) * n;
      if (q >= L) break;
      P[K - 1 - k] = F[q];
      Q[K - 1 - k] = F[q + 1];
    }
  }
}

// Modified Bessel function of the first kind, order zero, by its power series. Stops
// after the first term below 1e-21 of the sum; also stops once the sum has overflowed,
// so a huge argument cannot spin for ever (the caller rejects the infinite result).
double BesselI0(double x) {
  const double halfX = x * 0.5;
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1;; ++k) {
    const double r = halfX / k;
    term *= r * r;
    sum += term;
    if (term < 1e-21 * sum || !std::isfinite(sum)) break;
  }
  return sum;
}

// ---- Factor >= 1 ------------------------------------------------------------------------

// One output from the rows: (1 − d)·(Pl·xf + Qr·xr) + d·(Ql·xf + Pr·xr) over K taps, where
// l is the left phase's row pair, r the right phase's, xf runs x[−K+1] ... x[0] and xr
// runs x[K] ... x[1]. kK > 0 fixes K at compile time (the engine's windows), so the loops
// unroll into independent products and a short addition tree; 0 reads it from K.
#if VELORAND_POLYPHASE_SSE2

inline double HorizontalSum(__m128d v) { return _mm_cvtsd_f64(_mm_add_sd(v, _mm_unpackhi_pd(v, v))); }

template <int32_t kK>
inline double RowDot(const double* Pl, const double* Ql, const double* Pr, const double* Qr, const double* xf,
                     const double* xr, int32_t K, double d) {
  if (kK > 0) K = kK;
  // Four accumulators are enough to hide the addition latency behind the neighbouring
  // instants; more would spill. Samples are loaded again rather than copied.
  // The first products start the sums: adding them to zero would cost an addition each,
  // since the compiler may not drop "+ 0.0" (it would turn −0 into +0).
  __m128d a0, a1, b0, b1;
  int32_t m = 0;
  if (K >= 2) {
    a0 = _mm_mul_pd(_mm_loadu_pd(xf), _mm_load_pd(Pl));
    b0 = _mm_mul_pd(_mm_loadu_pd(xf), _mm_load_pd(Ql));
    a1 = _mm_mul_pd(_mm_loadu_pd(xr), _mm_load_pd(Qr));
    b1 = _mm_mul_pd(_mm_loadu_pd(xr), _mm_load_pd(Pr));
    m = 2;
  } else {
    a0 = a1 = b0 = b1 = _mm_setzero_pd();
  }
  for (; m + 2 <= K; m += 2) {
    a0 = _mm_add_pd(a0, _mm_mul_pd(_mm_loadu_pd(xf + m), _mm_load_pd(Pl + m)));
    b0 = _mm_add_pd(b0, _mm_mul_pd(_mm_loadu_pd(xf + m), _mm_load_pd(Ql + m)));
    a1 = _mm_add_pd(a1, _mm_mul_pd(_mm_loadu_pd(xr + m), _mm_load_pd(Qr + m)));
    b1 = _mm_add_pd(b1, _mm_mul_pd(_mm_loadu_pd(xr + m), _mm_load_pd(Pr + m)));
  }
  if (m < K) {  // odd K: the last tap of each side in the low lane
    const __m128d f0 = _mm_load_sd(xf + m), r0 = _mm_load_sd(xr + m);
    a0 = _mm_add_sd(a0, _mm_mul_sd(f0, _mm_load_sd(Pl + m)));
    b0 = _mm_add_sd(b0, _mm_mul_sd(f0, _mm_load_sd(Ql + m)));
    a1 = _mm_add_sd(a1, _mm_mul_sd(r0, _mm_load_sd(Qr + m)));
    b1 = _mm_add_sd(b1, _mm_mul_sd(r0, _mm_load_sd(Pr + m)));
  }
  const __m128d sa = _mm_add_pd(a0, a1);
  const __m128d sb = _mm_add_pd(b0, b1);
  return HorizontalSum(_mm_add_pd(_mm_mul_pd(_mm_set1_pd(1.0 - d), sa), _mm_mul_pd(_mm_set1_pd(d), sb)));
}

// dst[m] = src[m] and rev[count − 1 − m] = src[m] for m < count.
inline void WidenSamples(const float* src, double* dst, double* rev, int32_t count) {
  int32_t m = 0;
  for (; m + 4 <= count; m += 4) {
    const __m128 v = _mm_loadu_ps(src + m);
    const __m128d lo = _mm_cvtps_pd(v), hi = _mm_cvtps_pd(_mm_movehl_ps(v, v));
    _mm_storeu_pd(dst + m, lo);
    _mm_storeu_pd(dst + m + 2, hi);
    _mm_storeu_pd(rev + count - m - 2, _mm_shuffle_pd(lo, lo, 1));
    _mm_storeu_pd(rev + count - m - 4, _mm_shuffle_pd(hi, hi, 1));
  }
  for (; m < count; ++m) dst[m] = rev[count - 1 - m] = src[m];
}

#else

template <int32_t kK>
inline double RowDot(const double* Pl, const double* Ql, const double* Pr, const double* Qr, const double* xf,
                     const double* xr, int32_t K, double d) {
  if (kK > 0) K = kK;
  double a0 = 0, a1 = 0, a2 = 0, a3 = 0, b0 = 0, b1 = 0, b2 = 0, b3 = 0;
  int32_t m = 0;
  for (; m + 2 <= K; m += 2) {
    a0 += Pl[m] * xf[m];
    a1 += Pl[m + 1] * xf[m + 1];
    b0 += Ql[m] * xf[m];
    b1 += Ql[m + 1] * xf[m + 1];
    a2 += Qr[m] * xr[m];
    a3 += Qr[m + 1] * xr[m + 1];
    b2 += Pr[m] * xr[m];
    b3 += Pr[m + 1] * xr[m + 1];
  }
  if (m < K) {
    a0 += Pl[m] * xf[m];
    b0 += Ql[m] * xf[m];
    a2 += Qr[m] * xr[m];
    b2 += Pr[m] * xr[m];
  }
  return (1.0 - d) * ((a0 + a1) + (a2 + a3)) + d * ((b0 + b1) + (b2 + b3));
}

inline void WidenSamples(const float* src, double* dst, double* rev, int32_t count) {
  for (int32_t m = 0; m < count; ++m) dst[m] = rev[count - 1 - m] = src[m];
}

#endif

struct PortableDot {
  template <int32_t kK>
  static VELORAND_ALWAYS_INLINE double Run(const double* Pl, const double* Ql, const double* Pr, const double* Qr,
                                           const double* xf, const double* xr, int32_t K, double d) {
    return RowDot<kK>(Pl, Ql, Pr, Qr, xf, xr, K, d);
  }
};

#if VELORAND_POLYPHASE_AVX2
// The same sums four lanes wide with fused multiply-adds; still one double accumulator
// per lane, so only the rounding of the products' additions differs from the portable
// loops.
struct Avx2Dot {
  template <int32_t kK>
  static inline VELORAND_TARGET_AVX2 double Run(const double* Pl, const double* Ql, const double* Pr, const double* Qr,
                                                const double* xf, const double* xr, int32_t K, double d) {
    if (kK > 0) K = kK;
    __m256d a0, a1, b0, b1;
    int32_t m = 0;
    if (K >= 4) {  // the first products start the sums, as in the portable loops
      const __m256d f = _mm256_loadu_pd(xf);
      const __m256d r = _mm256_loadu_pd(xr);
      a0 = _mm256_mul_pd(f, _mm256_loadu_pd(Pl));
      b0 = _mm256_mul_pd(f, _mm256_loadu_pd(Ql));
      a1 = _mm256_mul_pd(r, _mm256_loadu_pd(Qr));
      b1 = _mm256_mul_pd(r, _mm256_loadu_pd(Pr));
      m = 4;
    } else {
      a0 = a1 = b0 = b1 = _mm256_setzero_pd();
    }
    for (; m + 4 <= K; m += 4) {
      const __m256d f = _mm256_loadu_pd(xf + m);
      const __m256d r = _mm256_loadu_pd(xr + m);
      a0 = _mm256_fmadd_pd(f, _mm256_loadu_pd(Pl + m), a0);
      b0 = _mm256_fmadd_pd(f, _mm256_loadu_pd(Ql + m), b0);
      a1 = _mm256_fmadd_pd(r, _mm256_loadu_pd(Qr + m), a1);
      b1 = _mm256_fmadd_pd(r, _mm256_loadu_pd(Pr + m), b1);
    }
    const __m256d sa = _mm256_add_pd(a0, a1);
    const __m256d sb = _mm256_add_pd(b0, b1);
    const __m256d blended = _mm256_fmadd_pd(_mm256_set1_pd(d), sb, _mm256_mul_pd(_mm256_set1_pd(1.0 - d), sa));
    __m128d v = _mm_add_pd(_mm256_castpd256_pd128(blended), _mm256_extractf128_pd(blended, 1));
    v = _mm_add_sd(v, _mm_unpackhi_pd(v, v));
    double acc = _mm_cvtsd_f64(v);
    if (kK == 0 || kK % 4 != 0) {
      double ta = 0.0, tb = 0.0;
      for (; m < K; ++m) {
        ta += Pl[m] * xf[m] + Qr[m] * xr[m];
        tb += Ql[m] * xf[m] + Pr[m] * xr[m];
      }
      acc += (1.0 - d) * ta + d * tb;
    }
    return acc;
  }
};
#endif

// The plain reading: one side's taps straight from the table, stride n, four at a time.
inline double TableSide(const float* F, int32_t n, int32_t L, int32_t j, double d, const float* x, ptrdiff_t dir) {
  double a0 = 0, a1 = 0, a2 = 0, a3 = 0;
  const double e = 1.0 - d;
  int32_t k = 0;
  int64_t q = j;
  for (; q + 3 * int64_t(n) < L; k += 4, q += 4 * int64_t(n)) {
    a0 += (e * F[q] + d * F[q + 1]) * x[dir * k];
    a1 += (e * F[q + n] + d * F[q + n + 1]) * x[dir * (k + 1)];
    a2 += (e * F[q + 2 * n] + d * F[q + 2 * n + 1]) * x[dir * (k + 2)];
    a3 += (e * F[q + 3 * n] + d * F[q + 3 * n + 1]) * x[dir * (k + 3)];
  }
  for (; q < L; ++k, q += n) a0 += (e * F[q] + d * F[q + 1]) * x[dir * k];
  return (a0 + a1) + (a2 + a3);
}

// ---- Stretched side (factor < 1) --------------------------------------------------------
// Taps at table positions u0 + k·s for every k with u0 + k·s < limit, on samples x[dir·k]
// (dir = −1 from x[0] leftwards, +1 from x[1] rightwards). Each tap interpolates its own
// coefficient between F[q] and F[q + 1]. Positions are formed by multiplication rather
// than by repeated addition, which keeps them exact to the last bit or two.

inline int32_t StretchedTapCount(double u0, double s, double invS, double limit) {
  if (!(u0 < limit)) return 0;
  // Capped only so that an absurd factor cannot overflow the conversion; such a factor
  // needs an input reach that no caller has anyway.
  const double estimate = (limit - u0) * invS;
  int64_t c = estimate < 1e9 ? int64_t(estimate) : int64_t(1e9);
  // The taps are k = 0 ... ceil(estimate) − 1. Well away from an integer the rounding of
  // the quotient and of the positions cannot matter; near one, settle the count against
  // the positions themselves, as the loop over them would.
  const double part = estimate - double(c);
  if (part > 1e-6 && part < 1.0 - 1e-6) return int32_t(c + 1);
  while (c > 0 && !(u0 + double(c - 1) * s < limit)) --c;
  while (c < int64_t(1e9) && u0 + double(c) * s < limit) ++c;
  return int32_t(c);
}

// With the entry pairs both sides of an instant become one pass over ascending samples:
// the sweep sums coefficient(|j·s − fs|)·x[j] over j, where fs = frac·s; for j <= 0 that
// is the left side's position (frac − j)·s, for j >= 1 the right side's (j − frac)·s.
// The vector sweeps run over the whole reach j = 1 − C ... C of the call (C taps a side
// at most), the same for every instant, so their loops never mispredict; the taps that an
// instant does not have get a zero coefficient. Which taps take part (j = first ... last)
// comes from the two sides' tap counts, decided exactly as the plain reading decides it.
// Positions beyond the table (masked taps only) land in zero pairs behind it.
inline double PairTap(const double* pairs, const float* x, int32_t j, double fs, double s) {
  const double u = std::fabs(double(j) * s - fs);
  const int32_t q = int32_t(u);
  const double* p = pairs + 2 * std::ptrdiff_t(q);
  return (p[0] + (u - q) * p[1]) * double(x[j]);
}

// Lane masks for the first and the final group of a tabled sweep: kLeadMask[e] drops the
// first e lanes, kTrailMask[e] the last e lanes of four.
alignas(32) constexpr uint64_t kLeadMask[4][4] = {
    {~0ull, ~0ull, ~0ull, ~0ull}, {0, ~0ull, ~0ull, ~0ull}, {0, 0, ~0ull, ~0ull}, {0, 0, 0, ~0ull}};
alignas(32) constexpr uint64_t kTrailMask[4][4] = {
    {~0ull, ~0ull, ~0ull, ~0ull}, {~0ull, ~0ull, ~0ull, 0}, {~0ull, ~0ull, 0, 0}, {~0ull, 0, 0, 0}};

// StretchedTapCount for a side whose first position u0 lies in [0, s): such a side has
// reach − 1 or reach taps (reach = the count at position 0), which two positions decide.
inline int32_t TapCountNearReach(double u0, double s, double invS, double limit, int32_t reach) {
  if (reach >= 2 && !(u0 + double(reach - 2) * s < limit)) return StretchedTapCount(u0, s, invS, limit);
  return reach - 1 + int32_t(u0 + double(reach - 1) * s < limit);
}

#if VELORAND_POLYPHASE_SSE2

inline __m128d LoadPairAsDouble(const float* p) {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

// Coefficients for the two positions in u: (1 − d)·F[q] + d·F[q + 1] per lane.
inline __m128d TwoCoefficients(const float* F, __m128d u) {
  const __m128i q = _mm_cvttpd_epi32(u);
  const __m128d d = _mm_sub_pd(u, _mm_cvtepi32_pd(q));
  const __m128d f0 = LoadPairAsDouble(F + _mm_cvtsi128_si32(q));
  const __m128d f1 = LoadPairAsDouble(F + _mm_cvtsi128_si32(_mm_srli_si128(q, 4)));
  const __m128d lo = _mm_unpacklo_pd(f0, f1);
  const __m128d hi = _mm_unpackhi_pd(f0, f1);
  return _mm_add_pd(_mm_mul_pd(_mm_sub_pd(_mm_set1_pd(1.0), d), lo), _mm_mul_pd(d, hi));
}

// Two samples x[dir·k], x[dir·(k + 1)] as doubles.
inline __m128d TwoSamples(const float* x, int32_t k, bool leftwards) {
  if (leftwards) {
    const __m128d v = LoadPairAsDouble(x - k - 1);  // x[−k−1], x[−k]
    return _mm_shuffle_pd(v, v, 1);
  }
  return LoadPairAsDouble(x + k);
}

inline double StretchedSide(const float* F, const float* x, bool leftwards, double u0, double s, int32_t count) {
  __m128d acc0 = _mm_setzero_pd(), acc1 = _mm_setzero_pd();
  const __m128d sv = _mm_set1_pd(s);
  const __m128d u0v = _mm_set1_pd(u0);
  __m128d kv = _mm_set_pd(1.0, 0.0);
  const __m128d two = _mm_set1_pd(2.0), four = _mm_set1_pd(4.0);
  int32_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const __m128d ua = _mm_add_pd(u0v, _mm_mul_pd(kv, sv));
    const __m128d ub = _mm_add_pd(u0v, _mm_mul_pd(_mm_add_pd(kv, two), sv));
    acc0 = _mm_add_pd(acc0, _mm_mul_pd(TwoCoefficients(F, ua), TwoSamples(x, k, leftwards)));
    acc1 = _mm_add_pd(acc1, _mm_mul_pd(TwoCoefficients(F, ub), TwoSamples(x, k + 2, leftwards)));
    kv = _mm_add_pd(kv, four);
  }
  double acc = HorizontalSum(_mm_add_pd(acc0, acc1));
  const ptrdiff_t dir = leftwards ? -1 : 1;
  for (; k < count; ++k) {
    const double u = u0 + double(k) * s;
    const int32_t q = int32_t(u);
    const double d = u - q;
    acc += ((1.0 - d) * F[q] + d * F[q + 1]) * x[dir * k];
  }
  return acc;
}

// Coefficients at the two positions in pos from the entry pairs.
inline __m128d PairCoefficients(const double* pairs, __m128d pos) {
  const __m128i q = _mm_cvttpd_epi32(pos);
  const __m128d d = _mm_sub_pd(pos, _mm_cvtepi32_pd(q));
  const __m128d a = _mm_load_pd(pairs + 2 * std::ptrdiff_t(_mm_cvtsi128_si32(q)));
  const __m128d b = _mm_load_pd(pairs + 2 * std::ptrdiff_t(_mm_cvtsi128_si32(_mm_shuffle_epi32(q, 1))));
  return _mm_add_pd(_mm_unpacklo_pd(a, b), _mm_mul_pd(d, _mm_unpackhi_pd(a, b)));
}

// The sweep's constants for one instant.
struct SweepFrame {
  __m128d s, fs;  // tap spacing and frac·s, broadcast
  __m128d lo, hi;  // taps take part for lo < j < hi
};

inline __m128d SweepPositions(__m128d j, const SweepFrame& f) {
  const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
  return _mm_and_pd(_mm_sub_pd(_mm_mul_pd(j, f.s), f.fs), magnitude);
}

// Taps j and j + 1 (samples xj[0], xj[1]) of the sweep, added to acc.
inline __m128d SweepTaps(const double* pairs, const float* xj, __m128d j, const SweepFrame& f, __m128d acc) {
  return _mm_add_pd(acc, _mm_mul_pd(PairCoefficients(pairs, SweepPositions(j, f)), LoadPairAsDouble(xj)));
}

// The same, each tap zero outside lo < j < hi.
inline __m128d MaskedSweepTaps(const double* pairs, const float* xj, __m128d j, const SweepFrame& f, __m128d acc) {
  const __m128d inside = _mm_and_pd(_mm_cmpgt_pd(j, f.lo), _mm_cmplt_pd(j, f.hi));
  const __m128d c = _mm_and_pd(PairCoefficients(pairs, SweepPositions(j, f)), inside);
  return _mm_add_pd(acc, _mm_mul_pd(c, LoadPairAsDouble(xj)));
}

inline double PairSweep(const double* pairs, const float* x, int32_t reach, int32_t first, int32_t last, double fs,
                        double s) {
  const SweepFrame f{_mm_set1_pd(s), _mm_set1_pd(fs), _mm_set1_pd(first - 0.5), _mm_set1_pd(last + 0.5)};
  const __m128d two = _mm_set1_pd(2.0);
  // reach pairs of taps j0, j0 + 1, ... up to reach.
  const int32_t j0 = 1 - reach;
  __m128d j = _mm_set_pd(j0 + 1.0, double(j0));
  __m128d acc0 = _mm_setzero_pd(), acc1 = _mm_setzero_pd();
  const float* xj = x + j0;
  if (first > j0 + 1 || last < reach - 2) {
    // Taps missing beyond the first and the last pair (never with the engine's
    // designs): every pair masked.
    for (int32_t g = 0; g < reach; ++g, j = _mm_add_pd(j, two)) acc0 = MaskedSweepTaps(pairs, xj + 2 * g, j, f, acc0);
    return HorizontalSum(acc0);
  }
  // Only the first and the last pair can lack a tap.
  acc0 = MaskedSweepTaps(pairs, xj, j, f, acc0);
  if (reach == 1) return HorizontalSum(acc0);
  j = _mm_add_pd(j, two);
  int32_t g = 1;
  for (; g + 2 <= reach - 1; g += 2) {
    acc1 = SweepTaps(pairs, xj + 2 * g, j, f, acc1);
    j = _mm_add_pd(j, two);
    acc0 = SweepTaps(pairs, xj + 2 * g + 2, j, f, acc0);
    j = _mm_add_pd(j, two);
  }
  if (g < reach - 1) {
    acc1 = SweepTaps(pairs, xj + 2 * g, j, f, acc1);
    j = _mm_add_pd(j, two);
    ++g;
  }
  acc1 = MaskedSweepTaps(pairs, xj + 2 * g, j, f, acc1);
  return HorizontalSum(_mm_add_pd(acc0, acc1));
}

// Taps j, j + 1 with their offsets j·s read from the call's table.
inline __m128d TabledPairCoefficients(const double* pairs, const double* js, __m128d fs) {
  const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
  return PairCoefficients(pairs, _mm_and_pd(_mm_sub_pd(_mm_load_pd(js), fs), magnitude));
}

// PairSweep with the offsets j·s of the call's reach tabulated in js (16-byte aligned,
// from j = 1 − reach); the edge pairs are masked by table.
inline double TabledPairSweep(const double* pairs, const float* x, const double* js, int32_t reach, int32_t first,
                              int32_t last, double fs, double s) {
  const int32_t j0 = 1 - reach;
  if (reach < 2 || first > j0 + 1 || last < reach - 1) return PairSweep(pairs, x, reach, first, last, fs, s);
  const __m128d fsv = _mm_set1_pd(fs);
  const float* xj = x + j0;
  const __m128d lead = _mm_load_pd(reinterpret_cast<const double*>(kLeadMask[first - j0]));
  const __m128d trail = _mm_load_pd(reinterpret_cast<const double*>(kTrailMask[2 + reach - last]));
  __m128d acc0 = _mm_mul_pd(_mm_and_pd(TabledPairCoefficients(pairs, js, fsv), lead), LoadPairAsDouble(xj));
  __m128d acc1 = _mm_setzero_pd();
  int32_t m = 2;
  const int32_t innerEnd = 2 * reach - 2;
  for (; m + 4 <= innerEnd; m += 4) {
    acc1 = _mm_add_pd(acc1, _mm_mul_pd(TabledPairCoefficients(pairs, js + m, fsv), LoadPairAsDouble(xj + m)));
    acc0 = _mm_add_pd(acc0, _mm_mul_pd(TabledPairCoefficients(pairs, js + m + 2, fsv), LoadPairAsDouble(xj + m + 2)));
  }
  if (m < innerEnd) {
    acc1 = _mm_add_pd(acc1, _mm_mul_pd(TabledPairCoefficients(pairs, js + m, fsv), LoadPairAsDouble(xj + m)));
    m += 2;
  }
  acc1 = _mm_add_pd(acc1,
                    _mm_mul_pd(_mm_and_pd(TabledPairCoefficients(pairs, js + m, fsv), trail), LoadPairAsDouble(xj + m)));
  return HorizontalSum(_mm_add_pd(acc0, acc1));
}

// TabledPairSweep in two halves for a call over several channels: the coefficients of an
// instant, masked as the sweep masks them, into c (2 * reach doubles, 16-byte aligned),
// once for all channels; then each channel's sum in exactly the sweep's order, so that it
// equals the single-channel result bit for bit. Only for the instants the sweep itself
// reads by table (reach >= 2, first <= 2 - reach, last >= reach - 1).
inline void TabledPairCoefficientsInto(const double* pairs, const double* js, int32_t reach, int32_t first,
                                       int32_t last, double fs, double* c) {
  const int32_t j0 = 1 - reach;
  const __m128d fsv = _mm_set1_pd(fs);
  const __m128d lead = _mm_load_pd(reinterpret_cast<const double*>(kLeadMask[first - j0]));
  const __m128d trail = _mm_load_pd(reinterpret_cast<const double*>(kTrailMask[2 + reach - last]));
  _mm_store_pd(c, _mm_and_pd(TabledPairCoefficients(pairs, js, fsv), lead));
  const int32_t innerEnd = 2 * reach - 2;
  int32_t m = 2;
  for (; m < innerEnd; m += 2) _mm_store_pd(c + m, TabledPairCoefficients(pairs, js + m, fsv));
  _mm_store_pd(c + m, _mm_and_pd(TabledPairCoefficients(pairs, js + m, fsv), trail));
}

inline double TabledPairDot(const double* c, const float* xj, int32_t reach) {
  __m128d acc0 = _mm_mul_pd(_mm_load_pd(c), LoadPairAsDouble(xj));
  __m128d acc1 = _mm_setzero_pd();
  int32_t m = 2;
  const int32_t innerEnd = 2 * reach - 2;
  for (; m + 4 <= innerEnd; m += 4) {
    acc1 = _mm_add_pd(acc1, _mm_mul_pd(_mm_load_pd(c + m), LoadPairAsDouble(xj + m)));
    acc0 = _mm_add_pd(acc0, _mm_mul_pd(_mm_load_pd(c + m + 2), LoadPairAsDouble(xj + m + 2)));
  }
  if (m < innerEnd) {
    acc1 = _mm_add_pd(acc1, _mm_mul_pd(_mm_load_pd(c + m), LoadPairAsDouble(xj + m)));
    m += 2;
  }
  acc1 = _mm_add_pd(acc1, _mm_mul_pd(_mm_load_pd(c + m), LoadPairAsDouble(xj + m)));
  return HorizontalSum(_mm_add_pd(acc0, acc1));
}

// TabledPairDot for two channels in one pass: each keeps its own two sums in the same
// order (so its result is unchanged), and the four independent sums hide the addition
// latency that bounds a single channel's pass.
inline void TabledPairDot2(const double* c, const float* xa, const float* xb, int32_t reach, double* ra, double* rb) {
  const __m128d c0 = _mm_load_pd(c);
  __m128d a0 = _mm_mul_pd(c0, LoadPairAsDouble(xa)), b0 = _mm_mul_pd(c0, LoadPairAsDouble(xb));
  __m128d a1 = _mm_setzero_pd(), b1 = _mm_setzero_pd();
  int32_t m = 2;
  const int32_t innerEnd = 2 * reach - 2;
  for (; m + 4 <= innerEnd; m += 4) {
    const __m128d cm = _mm_load_pd(c + m), cn = _mm_load_pd(c + m + 2);
    a1 = _mm_add_pd(a1, _mm_mul_pd(cm, LoadPairAsDouble(xa + m)));
    b1 = _mm_add_pd(b1, _mm_mul_pd(cm, LoadPairAsDouble(xb + m)));
    a0 = _mm_add_pd(a0, _mm_mul_pd(cn, LoadPairAsDouble(xa + m + 2)));
    b0 = _mm_add_pd(b0, _mm_mul_pd(cn, LoadPairAsDouble(xb + m + 2)));
  }
  if (m < innerEnd) {
    const __m128d cm = _mm_load_pd(c + m);
    a1 = _mm_add_pd(a1, _mm_mul_pd(cm, LoadPairAsDouble(xa + m)));
    b1 = _mm_add_pd(b1, _mm_mul_pd(cm, LoadPairAsDouble(xb + m)));
    m += 2;
  }
  const __m128d cm = _mm_load_pd(c + m);
  a1 = _mm_add_pd(a1, _mm_mul_pd(cm, LoadPairAsDouble(xa + m)));
  b1 = _mm_add_pd(b1, _mm_mul_pd(cm, LoadPairAsDouble(xb + m)));
  *ra = HorizontalSum(_mm_add_pd(a0, a1));
  *rb = HorizontalSum(_mm_add_pd(b0, b1));
}

#else

inline double StretchedSide(const float* F, const float* x, bool leftwards, double u0, double s, int32_t count) {
  const ptrdiff_t dir = leftwards ? -1 : 1;
  double a0 = 0, a1 = 0, a2 = 0, a3 = 0;
  auto coefficient = [F](double u) {
    const int32_t q = int32_t(u);
    const double d = u - q;
    return (1.0 - d) * F[q] + d * F[q + 1];
  };
  int32_t k = 0;
  for (; k + 4 <= count; k += 4) {
    a0 += coefficient(u0 + double(k) * s) * x[dir * k];
    a1 += coefficient(u0 + double(k + 1) * s) * x[dir * (k + 1)];
    a2 += coefficient(u0 + double(k + 2) * s) * x[dir * (k + 2)];
    a3 += coefficient(u0 + double(k + 3) * s) * x[dir * (k + 3)];
  }
  double acc = (a0 + a1) + (a2 + a3);
  for (; k < count; ++k) acc += coefficient(u0 + double(k) * s) * x[dir * k];
  return acc;
}

inline double PairSweep(const double* pairs, const float* x, int32_t, int32_t first, int32_t last, double fs,
                        double s) {
  double a0 = 0, a1 = 0;
  int32_t j = first;
  for (; j + 1 <= last; j += 2) {
    a0 += PairTap(pairs, x, j, fs, s);
    a1 += PairTap(pairs, x, j + 1, fs, s);
  }
  if (j <= last) a0 += PairTap(pairs, x, j, fs, s);
  return a0 + a1;
}

inline double TabledPairSweep(const double* pairs, const float* x, const double*, int32_t reach, int32_t first,
                              int32_t last, double fs, double s) {
  return PairSweep(pairs, x, reach, first, last, fs, s);
}

#endif

// Factor >= 1: the filter keeps its designed width; one phase and one fraction per side.
template <int32_t kK, class Dot>
VELORAND_ALWAYS_INLINE int32_t RunWideBody(const ResamplePolyphaseState* s, const float* src, float* dst, double& t,
                                           double end, double step, float norm) {
  const int32_t n = s->phaseCount;
  const int32_t L = s->tableLength;
  const int32_t K = kK > 0 ? kK : SideTaps(L, n);  // a constant lets the row stride fold
  const float* F = s->filter;
  const double* rows = PhaseRows(s);
  const std::size_t stride = std::size_t(RowStride(K));
  const std::size_t half = stride / 2;
  const double dn = n;
  const float scale = norm * s->gain;
  // At factors of 1 and above the step is at most one sample, so the last instant lies in
  // the last input sample before the end: widening up to its reach reads nothing beyond
  // what the caller keeps valid.
  const int64_t lastI = int64_t(end) - 1;
  // With d = 0 the right side's last tap sits exactly on position L for this phase; the
  // table reading leaves it out, the rows would not.
  const int32_t edgePhase = (n - L % n) % n;
  alignas(16) double fwd[kChunk + kMaxRowTaps];
  alignas(16) double rev[kChunk + kMaxRowTaps];
  int32_t count = 0;
  // One pass per chunk of input: widen the samples its instants read, then run them.
  while (t < end) {
    const int64_t chunkBase = int64_t(t);
    const int64_t chunkEnd = chunkBase + kChunk < lastI + 1 ? chunkBase + kChunk : lastI + 1;
    const double chunkStop = double(chunkEnd);  // instants with trunc(t) < chunkEnd
    const int32_t widened = int32_t(chunkEnd - chunkBase) + 2 * K - 1;
    if (rows != nullptr) WidenSamples(src + chunkBase - (K - 1), fwd, rev, widened);
    const double* revLast = rev + (widened - 2 * K);
    do {
      const int64_t i = int64_t(t);
      const double frac = t - double(i);

      const double u = dn * frac;
      const int32_t phi = int32_t(u);
      const double d = u - phi;

      double acc;
      if (rows != nullptr && ((d >= kRowGuard && d <= 1.0 - kRowGuard) || (d == 0.0 && phi != edgePhase))) {
        const int32_t at = int32_t(i - chunkBase);
        const double* l = rows + std::size_t(phi) * stride;
        const double* r = rows + std::size_t(n - 1 - phi) * stride;
        acc = Dot::template Run<kK>(l, l + half, r, r + half, fwd + at, revLast - at, K, d);
      } else {
        const float* x = src + i;
        const int32_t j = int32_t(u + kPhaseNudge);
        const double ur = dn * (1.0 - frac);
        const int32_t jr = int32_t(ur + kPhaseNudge);
        acc = TableSide(F, n, L, j, u - j, x, -1) + TableSide(F, n, L, jr, ur - jr, x + 1, 1);
      }
      dst[count++] = float(acc * scale);
      t += step;
    } while (t < chunkStop);
  }
  return count;
}

template <int32_t kK>
int32_t RunWidePortable(const ResamplePolyphaseState* s, const float* src, float* dst, double& t, double end,
                        double step, float norm) {
  return RunWideBody<kK, PortableDot>(s, src, dst, t, end, step, norm);
}

#if VELORAND_POLYPHASE_AVX2
template <int32_t kK>
VELORAND_TARGET_AVX2 int32_t RunWideAvx2(const ResamplePolyphaseState* s, const float* src, float* dst, double& t,
                                         double end, double step, float norm) {
  return RunWideBody<kK, Avx2Dot>(s, src, dst, t, end, step, norm);
}
#endif

// The variant in use; written by the selection step, read by every run.
std::atomic<int32_t> gVariant{int32_t(PolyphaseVariant::Portable)};

bool VariantAvailable(PolyphaseVariant v) {
  switch (v) {
    case PolyphaseVariant::Portable:
      return true;
    case PolyphaseVariant::Avx2Fma:
#if VELORAND_POLYPHASE_AVX2
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
      return false;
#endif
  }
  return false;
}

// Picks the loop shape for the design's taps per side (the engine's windows 15, 23 and 31
// have 8, 12 and 16) and the variant.
template <template <int32_t> class Run>
int32_t RunWideForTaps(const ResamplePolyphaseState* s, const float* src, float* dst, double& t, double end,
                       double step, float norm) {
  switch (SideTaps(s->tableLength, s->phaseCount)) {
    case 8:
      return Run<8>::Call(s, src, dst, t, end, step, norm);
    case 12:
      return Run<12>::Call(s, src, dst, t, end, step, norm);
    case 16:
      return Run<16>::Call(s, src, dst, t, end, step, norm);
    default:
      return Run<0>::Call(s, src, dst, t, end, step, norm);
  }
}

template <int32_t kK>
struct PortableRun {
  static int32_t Call(const ResamplePolyphaseState* s, const float* src, float* dst, double& t, double end,
                      double step, float norm) {
    return RunWidePortable<kK>(s, src, dst, t, end, step, norm);
  }
};

#if VELORAND_POLYPHASE_AVX2
template <int32_t kK>
struct Avx2Run {
  static int32_t Call(const ResamplePolyphaseState* s, const float* src, float* dst, double& t, double end,
                      double step, float norm) {
    return RunWideAvx2<kK>(s, src, dst, t, end, step, norm);
  }
};
#endif

int32_t RunWideDispatch(const ResamplePolyphaseState* s, const float* src, float* dst, double& t, double end,
                        double step, float norm) {
#if VELORAND_POLYPHASE_AVX2
  if (gVariant.load(std::memory_order_relaxed) == int32_t(PolyphaseVariant::Avx2Fma))
    return RunWideForTaps<Avx2Run>(s, src, dst, t, end, step, norm);
#endif
  return RunWideForTaps<PortableRun>(s, src, dst, t, end, step, norm);
}

// ---- Factor >= 1 over several channels ---------------------------------------------
// All channels share an instant's phase and fraction, so its two blended coefficient
// rows, (1 − d)·Pl + d·Ql for the left side and (1 − d)·Qr + d·Pr for the right, are
// formed once; each channel then takes a single dot product of 2K taps instead of the
// two of the single-channel run. The sums are associated differently, so a channel's
// result may differ from the single-channel run in the last bit of float.
constexpr int32_t kMaxWideChannels = 16;
constexpr int32_t kChannelChunk = 64;  // samples widened per channel per pass

#if VELORAND_POLYPHASE_SSE2
struct PortableLanes {
  // c[m] = (1 − d)·a[m] + d·b[m] for the padded row (16-byte aligned, even length).
  static VELORAND_ALWAYS_INLINE void Blend(const double* a, const double* b, double d, double* c, int32_t rowLength) {
    const __m128d e = _mm_set1_pd(1.0 - d), dv = _mm_set1_pd(d);
    for (int32_t m = 0; m < rowLength; m += 2)
      _mm_store_pd(c + m, _mm_add_pd(_mm_mul_pd(e, _mm_load_pd(a + m)), _mm_mul_pd(dv, _mm_load_pd(b + m))));
  }
  template <int32_t kK>
  static VELORAND_ALWAYS_INLINE double Dot(const double* cl, const double* cr, const double* xf, const double* xr,
                                           int32_t K) {
    if (kK > 0) K = kK;
    __m128d a0 = _mm_setzero_pd(), a1 = _mm_setzero_pd(), b0 = _mm_setzero_pd(), b1 = _mm_setzero_pd();
    int32_t m = 0;
    for (; m + 4 <= K; m += 4) {
      a0 = _mm_add_pd(a0, _mm_mul_pd(_mm_load_pd(cl + m), _mm_loadu_pd(xf + m)));
      a1 = _mm_add_pd(a1, _mm_mul_pd(_mm_load_pd(cl + m + 2), _mm_loadu_pd(xf + m + 2)));
      b0 = _mm_add_pd(b0, _mm_mul_pd(_mm_load_pd(cr + m), _mm_loadu_pd(xr + m)));
      b1 = _mm_add_pd(b1, _mm_mul_pd(_mm_load_pd(cr + m + 2), _mm_loadu_pd(xr + m + 2)));
    }
    double acc = HorizontalSum(_mm_add_pd(_mm_add_pd(a0, a1), _mm_add_pd(b0, b1)));
    for (; m < K; ++m) acc += cl[m] * xf[m] + cr[m] * xr[m];
    return acc;
  }
};
#else
struct PortableLanes {
  static void Blend(const double* a, const double* b, double d, double* c, int32_t rowLength) {
    for (int32_t m = 0; m < rowLength; ++m) c[m] = (1.0 - d) * a[m] + d * b[m];
  }
  template <int32_t kK>
  static double Dot(const double* cl, const double* cr, const double* xf, const double* xr, int32_t K) {
    if (kK > 0) K = kK;
    double a0 = 0, a1 = 0;
    for (int32_t m = 0; m < K; ++m) {
      a0 += cl[m] * xf[m];
      a1 += cr[m] * xr[m];
    }
    return a0 + a1;
  }
};
#endif

#if VELORAND_POLYPHASE_AVX2
// Unaligned moves throughout: no 32-byte alignment is asked of the stack.
struct Avx2Lanes {
  static inline VELORAND_TARGET_AVX2 void Blend(const double* a, const double* b, double d, double* c,
                                                int32_t rowLength) {
    const __m256d e = _mm256_set1_pd(1.0 - d), dv = _mm256_set1_pd(d);
    int32_t m = 0;
    for (; m + 4 <= rowLength; m += 4)
      _mm256_storeu_pd(c + m, _mm256_fmadd_pd(dv, _mm256_loadu_pd(b + m), _mm256_mul_pd(e, _mm256_loadu_pd(a + m))));
    for (; m < rowLength; ++m) c[m] = (1.0 - d) * a[m] + d * b[m];
  }
  template <int32_t kK>
  static inline VELORAND_TARGET_AVX2 double Dot(const double* cl, const double* cr, const double* xf,
                                                const double* xr, int32_t K) {
    if (kK > 0) K = kK;
    __m256d a = _mm256_setzero_pd(), b = _mm256_setzero_pd();
    int32_t m = 0;
    for (; m + 4 <= K; m += 4) {
      a = _mm256_fmadd_pd(_mm256_loadu_pd(cl + m), _mm256_loadu_pd(xf + m), a);
      b = _mm256_fmadd_pd(_mm256_loadu_pd(cr + m), _mm256_loadu_pd(xr + m), b);
    }
    const __m256d sum = _mm256_add_pd(a, b);
    __m128d v = _mm_add_pd(_mm256_castpd256_pd128(sum), _mm256_extractf128_pd(sum, 1));
    v = _mm_add_sd(v, _mm_unpackhi_pd(v, v));
    double acc = _mm_cvtsd_f64(v);
    for (; m < K; ++m) acc += cl[m] * xf[m] + cr[m] * xr[m];
    return acc;
  }
};
#endif

// The caller has checked that the design has rows and that channels <= kMaxWideChannels.
template <int32_t kK, class Lanes>
VELORAND_ALWAYS_INLINE int32_t RunWideChannelsBody(const ResamplePolyphaseState* s, const float* const* src,
                                                   int32_t channels, float* const* dst, double& t, double end,
                                                   double step, float norm) {
  const int32_t n = s->phaseCount;
  const int32_t L = s->tableLength;
  const int32_t K = kK > 0 ? kK : SideTaps(L, n);
  const float* F = s->filter;
  const double* rows = PhaseRows(s);
  const std::size_t stride = std::size_t(RowStride(K));
  const std::size_t half = stride / 2;
  const double dn = n;
  const float scale = norm * s->gain;
  const int64_t lastI = int64_t(end) - 1;
  const int32_t edgePhase = (n - L % n) % n;
  alignas(16) double fwd[kMaxWideChannels][kChannelChunk + kMaxRowTaps];
  alignas(16) double rev[kMaxWideChannels][kChannelChunk + kMaxRowTaps];
  alignas(16) double cl[kMaxRowTaps / 2 + 2];
  alignas(16) double cr[kMaxRowTaps / 2 + 2];
  int32_t count = 0;
  while (t < end) {
    const int64_t chunkBase = int64_t(t);
    const int64_t chunkEnd = chunkBase + kChannelChunk < lastI + 1 ? chunkBase + kChannelChunk : lastI + 1;
    const double chunkStop = double(chunkEnd);
    const int32_t widened = int32_t(chunkEnd - chunkBase) + 2 * K - 1;
    for (int32_t c = 0; c < channels; ++c) WidenSamples(src[c] + chunkBase - (K - 1), fwd[c], rev[c], widened);
    const int32_t revLast = widened - 2 * K;
    do {
      const int64_t i = int64_t(t);
      const double frac = t - double(i);
      const double u = dn * frac;
      const int32_t phi = int32_t(u);
      const double d = u - phi;
      if ((d >= kRowGuard && d <= 1.0 - kRowGuard) || (d == 0.0 && phi != edgePhase)) {
        const int32_t at = int32_t(i - chunkBase);
        const double* l = rows + std::size_t(phi) * stride;
        const double* r = rows + std::size_t(n - 1 - phi) * stride;
        Lanes::Blend(l, l + half, d, cl, int32_t(half));
        Lanes::Blend(r + half, r, d, cr, int32_t(half));
        for (int32_t c = 0; c < channels; ++c)
          dst[c][count] = float(Lanes::template Dot<kK>(cl, cr, fwd[c] + at, rev[c] + revLast - at, K) * scale);
      } else {
        const int32_t j = int32_t(u + kPhaseNudge);
        const double ur = dn * (1.0 - frac);
        const int32_t jr = int32_t(ur + kPhaseNudge);
        for (int32_t c = 0; c < channels; ++c) {
          const float* x = src[c] + i;
          const double acc = TableSide(F, n, L, j, u - j, x, -1) + TableSide(F, n, L, jr, ur - jr, x + 1, 1);
          dst[c][count] = float(acc * scale);
        }
      }
      ++count;
      t += step;
    } while (t < chunkStop);
  }
  return count;
}

template <int32_t kK>
struct PortableWideChannels {
  static int32_t Call(const ResamplePolyphaseState* s, const float* const* src, int32_t channels, float* const* dst,
                      double& t, double end, double step, float norm) {
    return RunWideChannelsBody<kK, PortableLanes>(s, src, channels, dst, t, end, step, norm);
  }
};

#if VELORAND_POLYPHASE_AVX2
template <int32_t kK>
VELORAND_TARGET_AVX2 int32_t RunWideChannelsAvx2(const ResamplePolyphaseState* s, const float* const* src,
                                                 int32_t channels, float* const* dst, double& t, double end,
                                                 double step, float norm) {
  return RunWideChannelsBody<kK, Avx2Lanes>(s, src, channels, dst, t, end, step, norm);
}
template <int32_t kK>
struct Avx2WideChannels {
  static int32_t Call(const ResamplePolyphaseState* s, const float* const* src, int32_t channels, float* const* dst,
                      double& t, double end, double step, float norm) {
    return RunWideChannelsAvx2<kK>(s, src, channels, dst, t, end, step, norm);
  }
};
#endif

template <template <int32_t> class Run>
int32_t RunWideChannelsForTaps(const ResamplePolyphaseState* s, const float* const* src, int32_t channels,
                               float* const* dst, double& t, double end, double step, float norm) {
  switch (SideTaps(s->tableLength, s->phaseCount)) {
    case 8:
      return Run<8>::Call(s, src, channels, dst, t, end, step, norm);
    case 12:
      return Run<12>::Call(s, src, channels, dst, t, end, step, norm);
    case 16:
      return Run<16>::Call(s, src, channels, dst, t, end, step, norm);
    default:
      return Run<0>::Call(s, src, channels, dst, t, end, step, norm);
  }
}

int32_t RunWideChannels(const ResamplePolyphaseState* s, const float* const* src, int32_t channels, float* const* dst,
                        double& t, double end, double step, float norm) {
#if VELORAND_POLYPHASE_AVX2
  if (gVariant.load(std::memory_order_relaxed) == int32_t(PolyphaseVariant::Avx2Fma))
    return RunWideChannelsForTaps<Avx2WideChannels>(s, src, channels, dst, t, end, step, norm);
#endif
  return RunWideChannelsForTaps<PortableWideChannels>(s, src, channels, dst, t, end, step, norm);
}

struct PortableStretched {
  // Several channels share an instant's coefficients (see TabledPairCoefficientsInto).
  static constexpr bool kSharedCoefficients = VELORAND_POLYPHASE_SSE2 != 0;
#if VELORAND_POLYPHASE_SSE2
  // False (nothing written) for the instants the sweep does not read by table.
  static VELORAND_ALWAYS_INLINE bool Coefficients(const double* pairs, const double* js, int32_t reach, int32_t first,
                                                  int32_t last, double fs, double* c) {
    if (reach < 2 || first > 2 - reach || last < reach - 1) return false;
    TabledPairCoefficientsInto(pairs, js, reach, first, last, fs, c);
    return true;
  }
  static VELORAND_ALWAYS_INLINE double Dot(const double* c, const float* xj, int32_t reach) {
    return TabledPairDot(c, xj, reach);
  }
  static constexpr bool kPairedDot = true;
  static VELORAND_ALWAYS_INLINE void Dot2(const double* c, const float* xa, const float* xb, int32_t reach, double* ra,
                                          double* rb) {
    TabledPairDot2(c, xa, xb, reach, ra, rb);
  }
#endif
  static VELORAND_ALWAYS_INLINE double Side(const float* F, const float* x, bool leftwards, double u0, double s,
                                            int32_t count) {
    return StretchedSide(F, x, leftwards, u0, s, count);
  }
  static VELORAND_ALWAYS_INLINE double Sweep(const double* pairs, const float* x, const double* js, int32_t reach,
                                             int32_t first, int32_t last, double fs, double s) {
    return js != nullptr ? TabledPairSweep(pairs, x, js, reach, first, last, fs, s)
                         : PairSweep(pairs, x, reach, first, last, fs, s);
  }
};

#if VELORAND_POLYPHASE_AVX2
// Four taps per step: positions by one fused multiply-add, both table entries of every
// tap by two gathers, the interpolation and the accumulation fused as well.
struct Avx2Stretched {
  static constexpr bool kSharedCoefficients = true;
  static constexpr bool kPairedDot = false;
  static void Dot2(const double*, const float*, const float*, int32_t, double*, double*) {}  // never called
  static inline VELORAND_TARGET_AVX2 __m256d Coefficients(const float* F, __m256d u) {
    const __m128i q = _mm256_cvttpd_epi32(u);
    const __m256d d = _mm256_sub_pd(u, _mm256_cvtepi32_pd(q));
    const __m256d f0 = _mm256_cvtps_pd(_mm_i32gather_ps(F, q, 4));
    const __m256d f1 = _mm256_cvtps_pd(_mm_i32gather_ps(F + 1, q, 4));
    return _mm256_fmadd_pd(d, _mm256_sub_pd(f1, f0), f0);
  }
  // x[dir·k] ... x[dir·(k + 3)] as doubles.
  static inline VELORAND_TARGET_AVX2 __m256d Samples(const float* x, int32_t k, bool leftwards) {
    if (leftwards) {
      const __m128 v = _mm_loadu_ps(x - k - 3);  // x[−k−3] ... x[−k]
      return _mm256_cvtps_pd(_mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)));
    }
    return _mm256_cvtps_pd(_mm_loadu_ps(x + k));
  }
  static inline VELORAND_TARGET_AVX2 double Side(const float* F, const float* x, bool leftwards, double u0, double s,
                                                 int32_t count) {
    __m256d acc0 = _mm256_setzero_pd(), acc1 = _mm256_setzero_pd();
    const __m256d sv = _mm256_set1_pd(s), u0v = _mm256_set1_pd(u0);
    const __m256d four = _mm256_set1_pd(4.0), eight = _mm256_set1_pd(8.0);
    __m256d kv = _mm256_set_pd(3.0, 2.0, 1.0, 0.0);
    int32_t k = 0;
    for (; k + 8 <= count; k += 8) {
      acc0 = _mm256_fmadd_pd(Coefficients(F, _mm256_fmadd_pd(kv, sv, u0v)), Samples(x, k, leftwards), acc0);
      const __m256d kv4 = _mm256_add_pd(kv, four);
      acc1 = _mm256_fmadd_pd(Coefficients(F, _mm256_fmadd_pd(kv4, sv, u0v)), Samples(x, k + 4, leftwards), acc1);
      kv = _mm256_add_pd(kv, eight);
    }
    if (k + 4 <= count) {
      acc0 = _mm256_fmadd_pd(Coefficients(F, _mm256_fmadd_pd(kv, sv, u0v)), Samples(x, k, leftwards), acc0);
      k += 4;
    }
    const __m256d sum = _mm256_add_pd(acc0, acc1);
    __m128d v = _mm_add_pd(_mm256_castpd256_pd128(sum), _mm256_extractf128_pd(sum, 1));
    v = _mm_add_sd(v, _mm_unpackhi_pd(v, v));
    double acc = _mm_cvtsd_f64(v);
    const ptrdiff_t dir = leftwards ? -1 : 1;
    for (; k < count; ++k) {
      const double u = u0 + double(k) * s;
      const int32_t q = int32_t(u);
      const double d = u - q;
      acc += ((1.0 - d) * F[q] + d * F[q + 1]) * x[dir * k];
    }
    return acc;
  }

  // Four coefficients from the entry pairs: four 16-byte loads instead of gathers, which
  // on current processors cost more than the loads they replace.
  static inline VELORAND_TARGET_AVX2 __m256d PairCoefficients(const double* pairs, __m256d pos) {
    const __m256d whole = _mm256_round_pd(pos, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256d d = _mm256_sub_pd(pos, whole);
    // Byte offsets of the four pairs, two to a 64-bit lane: two extractions instead of four.
    const __m128i offsets = _mm_slli_epi32(_mm256_cvttpd_epi32(whole), 4);
    const auto o01 = uint64_t(_mm_cvtsi128_si64(offsets));
    const auto o23 = uint64_t(_mm_extract_epi64(offsets, 1));
    const auto* base = reinterpret_cast<const unsigned char*>(pairs);
    const __m128d p0 = _mm_load_pd(reinterpret_cast<const double*>(base + uint32_t(o01)));
    const __m128d p1 = _mm_load_pd(reinterpret_cast<const double*>(base + (o01 >> 32)));
    const __m128d p2 = _mm_load_pd(reinterpret_cast<const double*>(base + uint32_t(o23)));
    const __m128d p3 = _mm_load_pd(reinterpret_cast<const double*>(base + (o23 >> 32)));
    const __m256d a = _mm256_insertf128_pd(_mm256_castpd128_pd256(p0), p2, 1);  // F0 D0 F2 D2
    const __m256d b = _mm256_insertf128_pd(_mm256_castpd128_pd256(p1), p3, 1);  // F1 D1 F3 D3
    return _mm256_fmadd_pd(d, _mm256_unpackhi_pd(a, b), _mm256_unpacklo_pd(a, b));
  }
  struct Frame {
    __m256d s, fs, lo, hi;  // as SweepFrame, four lanes
  };
  static inline VELORAND_TARGET_AVX2 __m256d Positions(__m256d j, const Frame& f) {
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
    return _mm256_and_pd(_mm256_fmsub_pd(j, f.s, f.fs), magnitude);
  }
  static inline VELORAND_TARGET_AVX2 __m256d Taps(const double* pairs, const float* xj, __m256d j, const Frame& f,
                                                  __m256d acc) {
    return _mm256_fmadd_pd(PairCoefficients(pairs, Positions(j, f)), _mm256_cvtps_pd(_mm_loadu_ps(xj)), acc);
  }
  static inline VELORAND_TARGET_AVX2 __m256d MaskedTaps(const double* pairs, const float* xj, __m256d j,
                                                        const Frame& f, __m256d acc) {
    const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(j, f.lo, _CMP_GT_OQ), _mm256_cmp_pd(j, f.hi, _CMP_LT_OQ));
    const __m256d c = _mm256_and_pd(PairCoefficients(pairs, Positions(j, f)), inside);
    return _mm256_fmadd_pd(c, _mm256_cvtps_pd(_mm_loadu_ps(xj)), acc);
  }
  static inline VELORAND_TARGET_AVX2 double MaskedSweep(const double* pairs, const float* x, int32_t reach,
                                                        int32_t first, int32_t last, double fs, double s) {
    const Frame f{_mm256_set1_pd(s), _mm256_set1_pd(fs), _mm256_set1_pd(first - 0.5), _mm256_set1_pd(last + 0.5)};
    const __m256d four = _mm256_set1_pd(4.0);
    // 2·reach taps from j0: groups of four, then a pair when 2·reach is not a multiple of 4.
    const int32_t j0 = 1 - reach, groups = reach / 2;
    const bool tail = (reach & 1) != 0;
    const int32_t finalStart = j0 + 4 * (tail ? groups : groups - 1);
    __m256d j = _mm256_set_pd(j0 + 3.0, j0 + 2.0, j0 + 1.0, double(j0));
    __m256d acc0 = _mm256_setzero_pd(), acc1 = _mm256_setzero_pd();
    const float* xj = x + j0;
    int32_t g = 0;
    if (first > j0 + 3 || last < finalStart - 1) {
      // Taps missing beyond the first and the final group (never with the engine's
      // designs): every group masked.
      for (; g < groups; ++g, j = _mm256_add_pd(j, four)) acc0 = MaskedTaps(pairs, xj + 4 * g, j, f, acc0);
    } else {
      // Only the first and the final group (or pair) can lack a tap.
      const int32_t innerEnd = tail ? groups : groups - 1;
      if (innerEnd >= 1) {
        acc0 = MaskedTaps(pairs, xj, j, f, acc0);
        j = _mm256_add_pd(j, four);
        for (g = 1; g + 2 <= innerEnd; g += 2) {
          acc1 = Taps(pairs, xj + 4 * g, j, f, acc1);
          j = _mm256_add_pd(j, four);
          acc0 = Taps(pairs, xj + 4 * g + 4, j, f, acc0);
          j = _mm256_add_pd(j, four);
        }
        if (g < innerEnd) {
          acc1 = Taps(pairs, xj + 4 * g, j, f, acc1);
          j = _mm256_add_pd(j, four);
          ++g;
        }
      }
      if (!tail && groups >= 1) {
        acc1 = MaskedTaps(pairs, xj + 4 * g, j, f, acc1);
        j = _mm256_add_pd(j, four);
        ++g;
      }
    }
    const __m256d sum = _mm256_add_pd(acc0, acc1);
    __m128d v = _mm_add_pd(_mm256_castpd256_pd128(sum), _mm256_extractf128_pd(sum, 1));
    if (tail) {
      const SweepFrame f2{_mm256_castpd256_pd128(f.s), _mm256_castpd256_pd128(f.fs), _mm256_castpd256_pd128(f.lo),
                          _mm256_castpd256_pd128(f.hi)};
      v = MaskedSweepTaps(pairs, xj + 4 * g, _mm256_castpd256_pd128(j), f2, v);
    }
    v = _mm_add_sd(v, _mm_unpackhi_pd(v, v));
    return _mm_cvtsd_f64(v);
  }
  static inline VELORAND_TARGET_AVX2 __m256d TabledCoefficients(const double* pairs, const double* js, __m256d fs) {
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
    return PairCoefficients(pairs, _mm256_and_pd(_mm256_sub_pd(_mm256_loadu_pd(js), fs), magnitude));
  }
  static inline VELORAND_TARGET_AVX2 __m256d Samples(const float* xj) { return _mm256_cvtps_pd(_mm_loadu_ps(xj)); }
  // The sweep with the offsets j·s tabulated (see TabledPairSweep): no position arithmetic
  // beyond one subtraction, and the edge groups masked by table.
  static inline VELORAND_TARGET_AVX2 double Sweep(const double* pairs, const float* x, const double* js,
                                                  int32_t reach, int32_t first, int32_t last, double fs, double s) {
    const int32_t j0 = 1 - reach, groups = reach / 2;
    const bool tail = (reach & 1) != 0;
    if (js == nullptr || reach < 3 || first > j0 + 3 || reach - last > (tail ? 1 : 3))
      return MaskedSweep(pairs, x, reach, first, last, fs, s);
    const __m256d fsv = _mm256_set1_pd(fs);
    const float* xj = x + j0;
    const __m256d lead = _mm256_load_pd(reinterpret_cast<const double*>(kLeadMask[first - j0]));
    __m256d acc0 = _mm256_mul_pd(_mm256_and_pd(TabledCoefficients(pairs, js, fsv), lead), Samples(xj));
    __m256d acc1 = _mm256_setzero_pd();
    // Groups 1 ... innerEnd − 1 have all their taps.
    const int32_t innerEnd = tail ? groups : groups - 1;
    int32_t m = 4;
    for (; m + 8 <= 4 * innerEnd; m += 8) {
      acc1 = _mm256_fmadd_pd(TabledCoefficients(pairs, js + m, fsv), Samples(xj + m), acc1);
      acc0 = _mm256_fmadd_pd(TabledCoefficients(pairs, js + m + 4, fsv), Samples(xj + m + 4), acc0);
    }
    if (m < 4 * innerEnd) {
      acc1 = _mm256_fmadd_pd(TabledCoefficients(pairs, js + m, fsv), Samples(xj + m), acc1);
      m += 4;
    }
    if (!tail) {
      const __m256d trail = _mm256_load_pd(reinterpret_cast<const double*>(kTrailMask[reach - last]));
      acc1 = _mm256_fmadd_pd(_mm256_and_pd(TabledCoefficients(pairs, js + m, fsv), trail), Samples(xj + m), acc1);
    }
    const __m256d sum = _mm256_add_pd(acc0, acc1);
    __m128d v = _mm_add_pd(_mm256_castpd256_pd128(sum), _mm256_extractf128_pd(sum, 1));
    if (tail) {
      const __m128d trail = _mm_load_pd(reinterpret_cast<const double*>(kTrailMask[2 + reach - last]));
      const __m128d c = _mm_and_pd(TabledPairCoefficients(pairs, js + m, _mm256_castpd256_pd128(fsv)), trail);
      v = _mm_add_pd(v, _mm_mul_pd(c, LoadPairAsDouble(xj + m)));
    }
    v = _mm_add_sd(v, _mm_unpackhi_pd(v, v));
    return _mm_cvtsd_f64(v);
  }
  // Sweep in two halves for several channels (see TabledPairCoefficientsInto): the
  // tabled path's coefficients, masked as it masks them, into c; then each channel's sum
  // in the sweep's order. Unaligned moves: no 32-byte alignment is asked of the stack.
  static inline VELORAND_TARGET_AVX2 bool Coefficients(const double* pairs, const double* js, int32_t reach,
                                                       int32_t first, int32_t last, double fs, double* c) {
    const int32_t j0 = 1 - reach, groups = reach / 2;
    const bool tail = (reach & 1) != 0;
    if (reach < 3 || first > j0 + 3 || reach - last > (tail ? 1 : 3)) return false;
    const __m256d fsv = _mm256_set1_pd(fs);
    const __m256d lead = _mm256_load_pd(reinterpret_cast<const double*>(kLeadMask[first - j0]));
    _mm256_storeu_pd(c, _mm256_and_pd(TabledCoefficients(pairs, js, fsv), lead));
    const int32_t innerEnd = tail ? groups : groups - 1;
    int32_t m = 4;
    for (; m < 4 * innerEnd; m += 4) _mm256_storeu_pd(c + m, TabledCoefficients(pairs, js + m, fsv));
    if (!tail) {
      const __m256d trail = _mm256_load_pd(reinterpret_cast<const double*>(kTrailMask[reach - last]));
      _mm256_storeu_pd(c + m, _mm256_and_pd(TabledCoefficients(pairs, js + m, fsv), trail));
    } else {
      const __m128d trail = _mm_load_pd(reinterpret_cast<const double*>(kTrailMask[2 + reach - last]));
      _mm_storeu_pd(c + m, _mm_and_pd(TabledPairCoefficients(pairs, js + m, _mm256_castpd256_pd128(fsv)), trail));
    }
    return true;
  }
  static inline VELORAND_TARGET_AVX2 double Dot(const double* c, const float* xj, int32_t reach) {
    const int32_t groups = reach / 2;
    const bool tail = (reach & 1) != 0;
    __m256d acc0 = _mm256_mul_pd(_mm256_loadu_pd(c), Samples(xj));
    __m256d acc1 = _mm256_setzero_pd();
    const int32_t innerEnd = tail ? groups : groups - 1;
    int32_t m = 4;
    for (; m + 8 <= 4 * innerEnd; m += 8) {
      acc1 = _mm256_fmadd_pd(_mm256_loadu_pd(c + m), Samples(xj + m), acc1);
      acc0 = _mm256_fmadd_pd(_mm256_loadu_pd(c + m + 4), Samples(xj + m + 4), acc0);
    }
    if (m < 4 * innerEnd) {
      acc1 = _mm256_fmadd_pd(_mm256_loadu_pd(c + m), Samples(xj + m), acc1);
      m += 4;
    }
    if (!tail) acc1 = _mm256_fmadd_pd(_mm256_loadu_pd(c + m), Samples(xj + m), acc1);
    const __m256d sum = _mm256_add_pd(acc0, acc1);
    __m128d v = _mm_add_pd(_mm256_castpd256_pd128(sum), _mm256_extractf128_pd(sum, 1));
    if (tail) v = _mm_add_pd(v, _mm_mul_pd(_mm_loadu_pd(c + m), LoadPairAsDouble(xj + m)));
    v = _mm_add_sd(v, _mm_unpackhi_pd(v, v));
    return _mm_cvtsd_f64(v);
  }
};
#endif

// Factor < 1: the filter is stretched by 1 / factor and its sum scaled back by factor.
template <class Stretched>
VELORAND_ALWAYS_INLINE int32_t RunStretchedBody(const ResamplePolyphaseState* s, const float* src, float* dst,
                                                double& t, double end, double step, double factor, float norm) {
  const double dn = s->phaseCount;
  const float* F = s->filter;
  const double limit = s->tableLength - kPhaseNudge;
  const double spacing = factor * dn;
  const double invSpacing = 1.0 / spacing;
  const double scale = double(norm) * factor * double(s->gain);
  const double* pairs = EntryPairs(s);
  // Taps a side at most: the count at position 0, since counts only fall as it grows.
  const int32_t reach = StretchedTapCount(0.0, spacing, invSpacing, limit);
  // The sweeps' tap offsets j·s for j = 1 − reach ... reach, once per call.
  alignas(16) double offsets[2 * kMaxTabledReach];
  const double* js = nullptr;
  if (pairs != nullptr && reach <= kMaxTabledReach) {
    for (int32_t m = 0; m < 2 * reach; ++m) offsets[m] = double(1 - reach + m) * spacing;
    js = offsets;
  }
  int32_t count = 0;
  do {
    const int64_t i = int64_t(t);
    const double frac = t - double(i);
    const float* x = src + i;

    const double ul = factor * frac * dn;
    const double ur = (1.0 - frac) * factor * dn;
    const int32_t cl = pairs != nullptr ? TapCountNearReach(ul, spacing, invSpacing, limit, reach)
                                        : StretchedTapCount(ul, spacing, invSpacing, limit);
    const int32_t cr = pairs != nullptr ? TapCountNearReach(ur, spacing, invSpacing, limit, reach)
                                        : StretchedTapCount(ur, spacing, invSpacing, limit);
    const double acc = pairs != nullptr ? Stretched::Sweep(pairs, x, js, reach, 1 - cl, cr, frac * spacing, spacing)
                                        : Stretched::Side(F, x, true, ul, spacing, cl) +
                                              Stretched::Side(F, x + 1, false, ur, spacing, cr);
    dst[count++] = float(acc * scale);
    t += step;
  } while (t < end);
  return count;
}

int32_t RunStretchedPortable(const ResamplePolyphaseState* s, const float* src, float* dst, double& t, double end,
                             double step, double factor, float norm) {
  return RunStretchedBody<PortableStretched>(s, src, dst, t, end, step, factor, norm);
}

#if VELORAND_POLYPHASE_AVX2
VELORAND_TARGET_AVX2 int32_t RunStretchedAvx2(const ResamplePolyphaseState* s, const float* src, float* dst,
                                              double& t, double end, double step, double factor, float norm) {
  return RunStretchedBody<Avx2Stretched>(s, src, dst, t, end, step, factor, norm);
}
#endif

int32_t RunStretched(const ResamplePolyphaseState* s, const float* src, float* dst, double& t, double end,
                     double step, double factor, float norm) {
#if VELORAND_POLYPHASE_AVX2
  if (gVariant.load(std::memory_order_relaxed) == int32_t(PolyphaseVariant::Avx2Fma))
    return RunStretchedAvx2(s, src, dst, t, end, step, factor, norm);
#endif
  return RunStretchedPortable(s, src, dst, t, end, step, factor, norm);
}

// Factor < 1 over several channels at once: every channel sees the same instants, so an
// instant's tap counts, and on the tabled sweep its coefficients, are worked out once.
// Each channel's output is the single-channel run's, bit for bit.
template <class Stretched>
VELORAND_ALWAYS_INLINE int32_t RunStretchedChannelsBody(const ResamplePolyphaseState* s, const float* const* src,
                                                        int32_t channels, float* const* dst, double& t, double end,
                                                        double step, double factor, float norm) {
  const double dn = s->phaseCount;
  const float* F = s->filter;
  const double limit = s->tableLength - kPhaseNudge;
  const double spacing = factor * dn;
  const double invSpacing = 1.0 / spacing;
  const double scale = double(norm) * factor * double(s->gain);
  const double* pairs = EntryPairs(s);
  const int32_t reach = StretchedTapCount(0.0, spacing, invSpacing, limit);
  alignas(16) double offsets[2 * kMaxTabledReach];
  alignas(16) double coefficients[2 * kMaxTabledReach];
  const double* js = nullptr;
  if (pairs != nullptr && reach <= kMaxTabledReach) {
    for (int32_t m = 0; m < 2 * reach; ++m) offsets[m] = double(1 - reach + m) * spacing;
    js = offsets;
  }
  int32_t count = 0;
  do {
    const int64_t i = int64_t(t);
    const double frac = t - double(i);
    const double ul = factor * frac * dn;
    const double ur = (1.0 - frac) * factor * dn;
    const int32_t cl = pairs != nullptr ? TapCountNearReach(ul, spacing, invSpacing, limit, reach)
                                        : StretchedTapCount(ul, spacing, invSpacing, limit);
    const int32_t cr = pairs != nullptr ? TapCountNearReach(ur, spacing, invSpacing, limit, reach)
                                        : StretchedTapCount(ur, spacing, invSpacing, limit);
    bool shared = false;
    if constexpr (Stretched::kSharedCoefficients) {
      if (js != nullptr && Stretched::Coefficients(pairs, js, reach, 1 - cl, cr, frac * spacing, coefficients)) {
        int32_t c = 0;
        if constexpr (Stretched::kPairedDot) {
          for (; c + 2 <= channels; c += 2) {
            double a, b;
            Stretched::Dot2(coefficients, src[c] + i + (1 - reach), src[c + 1] + i + (1 - reach), reach, &a, &b);
            dst[c][count] = float(a * scale);
            dst[c + 1][count] = float(b * scale);
          }
        }
        for (; c < channels; ++c)
          dst[c][count] = float(Stretched::Dot(coefficients, src[c] + i + (1 - reach), reach) * scale);
        shared = true;
      }
    }
    if (!shared) {
      for (int32_t c = 0; c < channels; ++c) {
        const float* x = src[c] + i;
        const double acc = pairs != nullptr
                               ? Stretched::Sweep(pairs, x, js, reach, 1 - cl, cr, frac * spacing, spacing)
                               : Stretched::Side(F, x, true, ul, spacing, cl) + Stretched::Side(F, x + 1, false, ur, spacing, cr);
        dst[c][count] = float(acc * scale);
      }
    }
    ++count;
    t += step;
  } while (t < end);
  return count;
}

int32_t RunStretchedChannelsPortable(const ResamplePolyphaseState* s, const float* const* src, int32_t channels,
                                     float* const* dst, double& t, double end, double step, double factor, float norm) {
  return RunStretchedChannelsBody<PortableStretched>(s, src, channels, dst, t, end, step, factor, norm);
}

#if VELORAND_POLYPHASE_AVX2
VELORAND_TARGET_AVX2 int32_t RunStretchedChannelsAvx2(const ResamplePolyphaseState* s, const float* const* src,
                                                      int32_t channels, float* const* dst, double& t, double end,
                                                      double step, double factor, float norm) {
  return RunStretchedChannelsBody<Avx2Stretched>(s, src, channels, dst, t, end, step, factor, norm);
}
#endif

int32_t RunStretchedChannels(const ResamplePolyphaseState* s, const float* const* src, int32_t channels,
                             float* const* dst, double& t, double end, double step, double factor, float norm) {
#if VELORAND_POLYPHASE_AVX2
  if (gVariant.load(std::memory_order_relaxed) == int32_t(PolyphaseVariant::Avx2Fma))
    return RunStretchedChannelsAvx2(s, src, channels, dst, t, end, step, factor, norm);
#endif
  return RunStretchedChannelsPortable(s, src, channels, dst, t, end, step, factor, norm);
}

}  // namespace

int32_t ippsResamplePolyphaseInitAlloc_32f(ResamplePolyphaseState** state, float window, int32_t phases,
                                           float rollOff, float alpha, int32_t hint) {
  if (state == nullptr) return ippStsNullPtrErr;
  if (phases <= 0) return ippStsSizeErr;
  // Negated comparisons so that a NaN fails them.
  if (!(double(window) >= 2.0 / double(phases))) return ippStsBadArgErr;
  if (!(rollOff > 0.0f && rollOff <= 1.0f)) return ippStsBadArgErr;
  if (!(alpha >= 1.0f)) return ippStsBadArgErr;

  // The table index is a 32-bit integer and the run adds up to n + 1 to it; a window this
  // wide (or infinite) would overflow it, so it is a design argument out of range.
  const double halfExact = std::trunc(double(window) * 0.5 * double(phases));
  if (!(halfExact <= double(INT32_MAX) - double(phases) - 2.0)) return ippStsBadArgErr;
  const double A = BesselI0(double(alpha));
  // An alpha beyond about 700 overflows I0 and would leave a table of NaNs.
  if (!std::isfinite(A)) return ippStsBadArgErr;

  const int32_t half = int32_t(halfExact);
  const int32_t count = half + 1;
  std::unique_ptr<double[]> h(new (std::nothrow) double[std::size_t(count)]);
  if (!h) return ippStsMemAllocErr;

  // Ideal low-pass sin(π·rollOff·t) / (π·t) at t = i / phases input samples.
  const double dPhases = phases;
  const double dRollOff = rollOff;
  h[0] = dRollOff;
  const double wc = dRollOff * kPi / dPhases;
  const double w1 = kPi / dPhases;
  for (int32_t i = 1; i <= half; ++i) h[i] = std::sin(i * wc) / (i * w1);

  // Kaiser window; the centre keeps weight 1.
  const double invA = 1.0 / A;
  const double dAlpha = alpha;
  const double dHalf = half;
  for (int32_t i = 1; i <= half; ++i) {
    const double r = i / dHalf;
    h[i] = BesselI0(dAlpha * std::sqrt(1.0 - r * r)) * invA * h[i];
  }

  // Normalise so that the zero phase passes a constant with gain 1.
  double S = 0.0;
  for (int64_t i = phases; i <= half; i += phases) S += h[std::size_t(i)];
  const double g = 1.0 / (h[0] + 2.0 * S);
  if (g != 1.0) {
    for (int32_t i = 0; i <= half; ++i) h[i] *= g;
  }

  const std::size_t rowsOffset = RowsOffset(count);
  const std::size_t rowBytes = RowBytes(count, phases);
  const std::size_t pairsOffset = PairsOffset(count, phases);
  const std::size_t pairBytes = PairBytes(count, phases);
  const std::size_t blockBytes = pairsOffset + pairBytes;
  void* block = ::operator new(blockBytes, std::align_val_t(kBlockAlign), std::nothrow);
  if (block == nullptr) return ippStsMemAllocErr;

  auto* s = static_cast<ResamplePolyphaseState*>(block);
  s->phaseCount = phases;
  s->tableLength = count;
  s->gain = 1.0f;
  s->hintFlags = 0;
  s->filter = reinterpret_cast<float*>(s + 1);
  float* F = s->filter;
  for (int32_t i = 0; i <= half; ++i) F[i] = float(h[i]);
  F[half + 1] = F[half];
  if (rowBytes != 0)
    FillPhaseRows(reinterpret_cast<double*>(static_cast<unsigned char*>(block) + rowsOffset), F, phases, count);
  if (pairBytes != 0)
    FillEntryPairs(reinterpret_cast<double*>(static_cast<unsigned char*>(block) + pairsOffset), F, count, phases);

  h.reset();
  *state = s;
  s->hintFlags |= (hint == ippAlgHintAccurate) ? 1u : 2u;
  return ippStsNoErr;
}

int32_t ippsResamplePolyphaseFree_32f(ResamplePolyphaseState* state) {
  if (state == nullptr) return ippStsNullPtrErr;
  ::operator delete(static_cast<void*>(state), std::align_val_t(kBlockAlign));
  return ippStsNoErr;
}

int32_t ippsResamplePolyphase_32f(const ResamplePolyphaseState* state, const float* src, int32_t length, float* dst,
                                  double factor, float norm, double* time, int32_t* outCount) {
  if (state == nullptr || time == nullptr || src == nullptr || dst == nullptr || outCount == nullptr)
    return ippStsNullPtrErr;
  // Rejects NaN and infinity too: an infinite factor gives a zero step and would never end.
  if (!(factor > 0.0 && factor <= 1.7976931348623157e308)) return ippStsSizeErr;
  if (length <= 0) return ippStsSizeErr;
  double t = *time;
  // A negative or huge time would index the table and the input out of range.
  if (!(t >= 0.0 && t < 2147483648.0)) return ippStsSizeErr;

  const double end = double(int64_t(length) + int64_t(t));
  const double step = 1.0 / factor;
  // A step too small to move the time would loop for ever.
  if (!(end + step > end)) return ippStsSizeErr;

  int32_t count = 0;
  if (t < end) {
    count = factor >= 1.0 ? RunWideDispatch(state, src, dst, t, end, step, norm)
                          : RunStretched(state, src, dst, t, end, step, factor, norm);
  }
  *time = t;
  *outCount = count;
  return ippStsNoErr;
}

int32_t ippsResamplePolyphaseChannels_32f(const ResamplePolyphaseState* state, const float* const* src,
                                          int32_t channels, int32_t length, float* const* dst, double factor,
                                          float norm, double* time, int32_t* outCount) {
  if (state == nullptr || time == nullptr || src == nullptr || dst == nullptr || outCount == nullptr)
    return ippStsNullPtrErr;
  for (int32_t c = 0; c < channels; ++c)
    if (src[c] == nullptr || dst[c] == nullptr) return ippStsNullPtrErr;
  if (channels <= 0) return ippStsSizeErr;
  if (!(factor > 0.0 && factor <= 1.7976931348623157e308)) return ippStsSizeErr;
  if (length <= 0) return ippStsSizeErr;
  const double t0 = *time;
  if (!(t0 >= 0.0 && t0 < 2147483648.0)) return ippStsSizeErr;
  const double end = double(int64_t(length) + int64_t(t0));
  const double step = 1.0 / factor;
  if (!(end + step > end)) return ippStsSizeErr;

  double t = t0;
  int32_t count = 0;
  if (t < end) {
    if (factor >= 1.0 && (channels == 1 || channels > kMaxWideChannels || PhaseRows(state) == nullptr)) {
      for (int32_t c = 0; c < channels; ++c) {
        t = t0;
        count = RunWideDispatch(state, src[c], dst[c], t, end, step, norm);
      }
    } else if (factor >= 1.0) {
      count = RunWideChannels(state, src, channels, dst, t, end, step, norm);
    } else {
      count = RunStretchedChannels(state, src, channels, dst, t, end, step, factor, norm);
    }
  }
  *time = t;
  *outCount = count;
  return ippStsNoErr;
}

int32_t ippsMove_32f(const float* src, float* dst, int32_t length) {
  if (src == nullptr || dst == nullptr) return ippStsNullPtrErr;
  if (length <= 0) return ippStsSizeErr;
  // An overlapping move copies ascending when the source lies above the destination and
  // descending when below; memmove gives that result, with the library's wide copies.
  if (src != dst) std::memmove(dst, src, std::size_t(length) * sizeof(float));
  return ippStsNoErr;
}

// Acts once per process: later calls (the engine asks at every initialisation) keep the
// choice, so a variant forced for a measurement stays in force.
void ippsSelectVariant() {
  static std::atomic<bool> selected{false};
  if (selected.exchange(true)) return;
  if (VariantAvailable(PolyphaseVariant::Avx2Fma)) gVariant.store(int32_t(PolyphaseVariant::Avx2Fma));
}

PolyphaseVariant PolyphaseCurrentVariant() { return PolyphaseVariant(gVariant.load()); }

bool PolyphaseUseVariant(PolyphaseVariant v) {
  if (!VariantAvailable(v)) return false;
  gVariant.store(int32_t(v));
  return true;
}
