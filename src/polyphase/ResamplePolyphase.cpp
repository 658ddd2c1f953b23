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
//   [pad to 32][stretch rows: n × 2 × (2K + 8) doubles, when used]
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
// The stretch rows serve the run below factor 1, where every tap has a position of its own
// and so an interpolation fraction of its own. From one instant to the next, though, a
// sample's position moves by step·s = n entries exactly, so it keeps its phase φ and its
// fraction d for every instant it reaches. For every phase the block holds the 2K
// coefficients a sample of that phase gives the 2K instants around it, in the order of
// those instants, as A + d·B in double (A an entry, B the exact difference to its
// neighbour), with kStretchPad zeros on either side; see FillStretchRows and the run.
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
// The rows serve instants whose interpolation fraction d keeps at least this far from 0
// and 1 (or is exactly 0): there the nudge cannot move either side's phase, so the left
// side takes phase φ and the right side n − 1 − φ, as the rows assume. The margin over
// the nudge absorbs the rounding of n·(1 − frac) against n − n·frac.
constexpr double kRowGuard = 2 * kPhaseNudge;
// Samples widened per chunk in the run at factors of 1 and above.
constexpr int32_t kChunk = 256;
// Stretch rows (the run below factor 1): instants summed together, zero entries on either
// side of a row (at least the lanes of a group − 1), the largest 2K served, and a bound on
// their size.
constexpr int32_t kStretchPad = 4;
constexpr int32_t kMaxStretchTaps = 256;
constexpr std::size_t kMaxStretchBytes = std::size_t(8) << 20;

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

int32_t StretchRowLength(int32_t K) { return 2 * K + 2 * kStretchPad; }

std::size_t StretchOffset(int32_t tableLength, int32_t phaseCount) {
  return AlignUp(RowsOffset(tableLength) + RowBytes(tableLength, phaseCount), kBlockAlign);
}

// Bytes of stretch rows a design carries; 0 when it has none (designs beyond what any
// sensible use needs are read the plain way instead).
std::size_t StretchBytes(int32_t tableLength, int32_t phaseCount) {
  const int32_t K = SideTaps(tableLength, phaseCount);
  if (2 * int64_t(K) > kMaxStretchTaps) return 0;
  const std::size_t bytes = std::size_t(phaseCount) * 2 * std::size_t(StretchRowLength(K)) * sizeof(double);
  return bytes <= kMaxStretchBytes ? bytes : 0;
}

const double* StretchRows(const ResamplePolyphaseState* s) {
  if (StretchBytes(s->tableLength, s->phaseCount) == 0) return nullptr;
  return reinterpret_cast<const double*>(reinterpret_cast<const unsigned char*>(s) +
                                         StretchOffset(s->tableLength, s->phaseCount));
}

// For every phase φ: A at [pad + idx] and B one row length further, idx = 0 ... 2K − 1.
// idx < K: the right side's entry q = φ + (K − 1 − idx)·n at fraction d: A = F[q],
// B = F[q + 1] − F[q]. idx >= K: the left side's entry q = (n − 1 − φ) + (idx − K)·n at
// fraction 1 − d: A = F[q + 1], B = F[q] − F[q + 1]. Entries beyond the table stay 0.
void FillStretchRows(double* rows, const float* F, int32_t n, int32_t L) {
  const int32_t K = SideTaps(L, n);
  const int32_t len = StretchRowLength(K);
  for (int32_t phi = 0; phi < n; ++phi) {
    double* A = rows + std::size_t(phi) * 2 * std::size_t(len);
    double* B = A + len;
    for (int32_t m = 0; m < len; ++m) A[m] = B[m] = 0.0;
    for (int32_t r = 0; r < K; ++r) {
      const int64_t q = int64_t(phi) + int64_t(r) * n;
      if (q < L) {
        A[kStretchPad + K - 1 - r] = F[q];
        B[kStretchPad + K - 1 - r] = double(F[q + 1]) - double(F[q]);
      }
      const int64_t ql = int64_t(n - 1 - phi) + int64_t(r) * n;
      if (ql < L) {
        A[kStretchPad + K + r] = F[ql + 1];
        B[kStretchPad + K + r] = double(F[ql]) - double(F[ql + 1]);
      }
    }
  }
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

#if VELORAND_POLYPHASE_SSE2

// Makes the compiler hold v in a register from here on instead of folding its load into
// every use: the loops below are bound by their loads.
inline void KeepInRegister(__m128d& v) {
#if defined(__GNUC__)
  __asm__("" : "+x"(v));
#else
  (void)v;
#endif
}

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

// ---- Factor < 1 -------------------------------------------------------------------------
// The filter is stretched by 1 / factor and its sum scaled back by factor. The run fixes
// an anchor, its first instant t0 (instant 0), and works out each sample's position
// v = (k − t0)·s once: its phase φ, fraction d and row R (v = (R·n + φ) + d). Instant m
// sits m·n entries further on, so it reads the sample at entry φ + (R − m)·n (right
// side, R >= m) or at (n − 1 − φ) + (m − R − 1)·n with fraction 1 − d (left side); both
// are one entry of φ's stretch row, at idx = m − R + K − 1. The phases of a window of
// samples are kept while chunks of instants slide over it. Consecutive instants take
// consecutive entries of a row, so the sums take contiguous loads: either a group of
// lanes (instants) over the samples whose rows reach them, or (SSE2, small factors) the
// samples of one row at a time, which all reach the same 2K instants.
//
// Two things the rows do not see are settled instant by instant against the plain
// reading. An instant's true time drifts from t0 + m·step by the rounding of the
// accumulated time; past kMaxDrift table entries the run anchors anew, and an instant
// still beyond it (at huge times only) takes the plain reading. And the plain reading
// stops a side at positions below L − kPhaseNudge while the rows stop at L: a tap in
// between (the coefficient there is F[L − 1], not small) is taken back out, or put in
// where rounding left it out, by an explicit fix.

constexpr int32_t kStretchSamples = 768;    // samples whose phases are held at once
constexpr int32_t kStretchInstants = 96;    // instants a chunk holds at most
constexpr int32_t kMaxStretchChannels = 8;  // channels summed in one pass over a chunk
// Samples an anchor serves at most (fewer where 2^30 / s is less), which keeps positions
// and rows within 32 bits.
constexpr int64_t kMaxAnchorSpan = int64_t(1) << 20;
constexpr double kMaxDrift = 1e-7;  // table entries; costs below 1e-9 of a coefficient
constexpr double kEdgeBand = 1e-4;  // table entries around L in which taps are settled
constexpr double kRunsBelow = 0.6;  // factor below which SSE2 sums one channel by rows (runs)

// The plain reading of one instant: both sides straight from the table.
inline double PlainStretched(const float* F, const float* x, double frac, double factor, double dn, double s,
                             double invS, double limit) {
  const double ul = factor * frac * dn;
  const double ur = (1.0 - frac) * factor * dn;
  return StretchedSide(F, x, true, ul, s, StretchedTapCount(ul, s, invS, limit)) +
         StretchedSide(F, x + 1, false, ur, s, StretchedTapCount(ur, s, invS, limit));
}

struct StretchCall {
  const float* F;
  const double* rows;
  int32_t n, L, K, reach, rowLength;
  int64_t anchorSpan;
  double dn, invN, s, invS, limit, factor;
};

// The phases of the samples first ... first + samples − 1 (indices in src) against the
// anchor instant ia + fa, which counts as instant 0. Kept from chunk to chunk, so each
// sample's phase is worked out once while the anchor stands.
struct StretchWindow {
  int64_t ia = 0;
  double fa = 0.0;
  int64_t first = 0;
  int32_t samples = 0;
  int32_t rowAt[kStretchSamples + 4];  // φ·(2 row lengths) + kStretchPad + K − 1 − R
  int32_t row[kStretchSamples + 4];    // R
  alignas(16) double d[2 * (kStretchSamples + 4)];  // each fraction twice, for two-lane loads
};

// One chunk of instants and what they need besides the sums.
struct StretchChunk {
  int32_t instants = 0;
  int64_t m0 = 0;  // the first instant's number since the anchor
  int64_t at[kStretchInstants];
  double frac[kStretchInstants];
  bool plain[kStretchInstants];
  // Up to two fixes an instant: coefficient change `fix` on window sample fixAt.
  int32_t fixCount[kStretchInstants];
  int32_t fixAt[kStretchInstants][2];
  double fix[kStretchInstants][2];
};

// The coefficient the rows give window sample j at instant m (since the anchor); 0
// outside its window.
inline double RowCoefficient(const StretchCall& c, const StretchWindow& w, int32_t j, int64_t m) {
  if (j < 0 || j >= w.samples) return 0.0;
  const int64_t idx = m - w.row[j] + c.K - 1;
  if (idx < 0 || idx >= 2 * c.K) return 0.0;
  const double* a = c.rows + w.rowAt[j] + m;
  return a[0] + w.d[2 * j] * a[c.rowLength];
}

// Settles the tap of one side nearest to the table's end: positions u0 + j·s on samples
// base + dir·j. Records the change the plain reading asks for. Rarely needed: the caller
// has checked that a tap lies within kEdgeBand of L.
inline void SettleEdge(const StretchCall& c, const StretchWindow& w, StretchChunk& ch, int32_t m, double u0,
                       int64_t base, int32_t dir) {
  const auto j = int64_t((double(c.L) - u0) * c.invS + 0.5);
  const double p = u0 + double(j) * c.s;
  double want = 0.0;
  if (p < c.limit) {
    const auto q = int32_t(p);
    const double e = p - q;
    want = (1.0 - e) * c.F[q] + e * c.F[q + 1];
  }
  // A tap the plain reading takes lies within the stated reach, so in the window; one
  // outside it was not summed either.
  const int64_t k = base + dir * j - w.first;
  if (k < 0 || k >= w.samples) return;
  const double change = want - RowCoefficient(c, w, int32_t(k), ch.m0 + m);
  if (change == 0.0) return;
  const int32_t f = ch.fixCount[m]++;
  ch.fixAt[m][f] = int32_t(k);
  ch.fix[m][f] = change;
}

// Whether a side starting at position u0 (>= 0) has a tap within kEdgeBand of L.
inline bool NearEdge(const StretchCall& c, double u0) {
  const double toEnd = (double(c.L) - u0) * c.invS;  // taps to L, >= 0 for u0 < L
  const double off = toEnd - double(int64_t(toEnd + 0.5));
  return std::fabs(off) * c.s < kEdgeBand && toEnd > -0.5;
}

// Each sample's position v = (k − ia − fa)·s against the anchor, split into phase,
// fraction and row, for count samples from k − ia = k0 on, into the arrays from their
// start (the vector loops may fill up to three entries more; the arrays have room).
inline void ScalarPhases(const StretchCall& c, double k0, double fa, int32_t count, int32_t* rowAt, int32_t* row,
                         double* d) {
  const double stride = 2.0 * c.rowLength;
  const double lead = double(kStretchPad + c.K - 1);
  for (int32_t j = 0; j < count; ++j) {
    const double v = (k0 + double(j) - fa) * c.s;
    const double qd = std::floor(v);
    // (q + ½) / n is never within ½ / n of an integer, so the product's rounding cannot
    // move its floor.
    const double r = std::floor((qd + 0.5) * c.invN);
    const double phi = qd - r * c.dn;
    rowAt[j] = int32_t(phi * stride + lead - r);
    row[j] = int32_t(r);
    d[2 * j] = d[2 * j + 1] = v - qd;
  }
}

// Gathers the chunk's instants from t on, brings the window's phases up to them (anchoring
// anew where needed) and works out everything but the sums.
template <class Stretch>
VELORAND_ALWAYS_INLINE void PrepareChunk(const StretchCall& c, StretchWindow& w, StretchChunk& ch, double& t,
                                         double end, double step) {
  const int64_t i0 = int64_t(t);
  int32_t m = 0;
  do {
    ch.at[m] = int64_t(t);
    ch.frac[m] = t - double(ch.at[m]);
    ++m;
    t += step;
  } while (t < end && m < kStretchInstants && (int64_t(t) - i0) + 2 * c.reach <= kStretchSamples);
  ch.instants = m;
  const int64_t first = i0 - c.reach + 1;
  const int32_t samples = int32_t(ch.at[m - 1] - i0) + 2 * c.reach;

  // Instants drift from anchor + whole steps by the rounding of the accumulated time.
  bool fresh = w.samples == 0 || ch.at[m - 1] + c.reach - w.ia > c.anchorSpan;
  for (;;) {
    if (fresh) {
      w.ia = ch.at[0];
      w.fa = ch.frac[0];
      w.samples = 0;
      ch.m0 = 0;
    }
    bool drifted = false;
    for (int32_t k = 0; k < m; ++k) {
      const double since = double(ch.at[k] - w.ia) + (ch.frac[k] - w.fa);
      ch.plain[k] = !(std::fabs(since * c.s - double(ch.m0 + k) * c.dn) <= kMaxDrift);
      drifted = drifted || ch.plain[k];
    }
    if (!drifted || fresh) break;
    fresh = true;
  }

  // Keep the phases of the samples the chunk shares with the last one.
  int32_t keep = 0;
  if (w.samples > 0 && first >= w.first && first < w.first + w.samples) {
    const auto from = int32_t(first - w.first);
    keep = w.samples - from;
    if (keep > samples) keep = samples;
    std::memmove(w.rowAt, w.rowAt + from, std::size_t(keep) * sizeof(int32_t));
    std::memmove(w.row, w.row + from, std::size_t(keep) * sizeof(int32_t));
    std::memmove(w.d, w.d + 2 * from, std::size_t(keep) * 2 * sizeof(double));
  }
  Stretch::Phases(c, double(first + keep - w.ia), w.fa, samples - keep, w.rowAt + keep, w.row + keep,
                  w.d + 2 * keep);
  w.first = first;
  w.samples = samples;

  for (int32_t k = 0; k < m; ++k) {
    ch.fixCount[k] = 0;
    if (ch.plain[k]) continue;
    const double ul = c.factor * ch.frac[k] * c.dn, ur = (1.0 - ch.frac[k]) * c.factor * c.dn;
    if (NearEdge(c, ul)) SettleEdge(c, w, ch, k, ul, ch.at[k], -1);
    if (NearEdge(c, ur)) SettleEdge(c, w, ch, k, ur, ch.at[k] + 1, 1);
  }
}

// The window samples whose rows reach instants mg ... mg + W − 1 (since the anchor): R
// from mg − K to mg + W + K − 2, as [*lo, *hi]. Rows only grow along the window; the
// bounds start from where the positions put them and are settled against the rows.
inline void GroupSamples(const StretchCall& c, const StretchWindow& w, int64_t mg, int32_t W, int32_t* lo,
                         int32_t* hi) {
  const double spacing = c.dn * c.invS;  // samples per row
  const double origin = double(w.ia - w.first) + w.fa;
  const int64_t rlo = mg - c.K, rhi = mg + W + c.K - 2;
  auto l = int32_t(std::fmin(std::fmax(origin + double(rlo) * spacing, 0.0), double(w.samples)));
  while (l > 0 && w.row[l - 1] >= rlo) --l;
  while (l < w.samples && w.row[l] < rlo) ++l;
  auto h = int32_t(std::fmin(std::fmax(origin + double(rhi + 1) * spacing, 0.0), double(w.samples))) - 1;
  while (h + 1 < w.samples && w.row[h + 1] <= rhi) ++h;
  while (h >= 0 && w.row[h] > rhi) --h;
  *lo = l;
  *hi = h;
}

// Sums over a group's samples for kCh channels: out[c][l] = Σ_j (A + d·B)[j, l]·x_c[j]
// for the group's W instants, even and odd window samples j in two partial sums. Samples
// whose rows do not reach an instant add exact zeros to it, so a group of any width, or
// a sample range with extra such samples, gives every instant the same sums bit for bit.
// x[c] holds window sample j at x[c][2j] and again at x[c][2j + 1].
#if VELORAND_POLYPHASE_SSE2
struct PortableStretch {
  static constexpr int32_t kChannels = 8;
  static VELORAND_ALWAYS_INLINE void Phases(const StretchCall& c, double k0, double fa, int32_t count,
                                            int32_t* rowAt, int32_t* row, double* d) {
    // Positions are taken B = K + 1 rows further on, which makes them non-negative (a
    // sample lies at most reach ≈ L / s samples before the anchor), so that truncation
    // is the floor.
    const double B = double(c.K + 1);
    const __m128d sv = _mm_set1_pd(c.s), half = _mm_set1_pd(0.5), bv = _mm_set1_pd(B);
    const __m128d invN = _mm_set1_pd(c.invN), dn = _mm_set1_pd(c.dn), two = _mm_set1_pd(2.0);
    const __m128d stride = _mm_set1_pd(2.0 * c.rowLength), lead = _mm_set1_pd(double(kStretchPad + c.K - 1) + B);
    const __m128d shift = _mm_set1_pd(B * c.dn);
    __m128d jd = _mm_set_pd(k0 + 1.0 - fa, k0 - fa);
    for (int32_t j = 0; j < count; j += 2, jd = _mm_add_pd(jd, two)) {
      const __m128d v = _mm_mul_pd(jd, sv);
      const __m128d qd = _mm_cvtepi32_pd(_mm_cvttpd_epi32(_mm_add_pd(v, shift)));
      const __m128d r = _mm_cvtepi32_pd(_mm_cvttpd_epi32(_mm_mul_pd(_mm_add_pd(qd, half), invN)));  // R + B
      const __m128d phi = _mm_sub_pd(qd, _mm_mul_pd(r, dn));
      const __m128d at = _mm_sub_pd(_mm_add_pd(_mm_mul_pd(phi, stride), lead), r);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(rowAt + j), _mm_cvttpd_epi32(at));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(row + j), _mm_cvttpd_epi32(_mm_sub_pd(r, bv)));
      const __m128d f = _mm_sub_pd(_mm_add_pd(v, shift), qd);
      _mm_store_pd(d + 2 * j, _mm_unpacklo_pd(f, f));
      _mm_store_pd(d + 2 * j + 2, _mm_unpackhi_pd(f, f));
    }
  }
  // One channel takes four lanes: the wider group's extra entries cost less than a
  // narrower group's extra passes. Several channels take two: up to eight of them share
  // each coefficient pair.
  template <int32_t kCh>
  static constexpr int32_t kLanesFor = kCh == 1 ? 4 : 2;
  template <int32_t W, int32_t kCh>
  static VELORAND_ALWAYS_INLINE void Sums(const double* base, int32_t len, const int32_t* rowAt, const double* d,
                                          const double* const* x, int32_t lo, int32_t hi, double (*out)[W]) {
    // One sum per lane pair and channel: one channel's four lanes already make two
    // independent chains, and several channels make as many.
    constexpr int32_t H = W / 2;
    __m128d acc[kCh][H];
    for (int32_t c = 0; c < kCh; ++c)
      for (int32_t h = 0; h < H; ++h) acc[c][h] = _mm_setzero_pd();
    const double* baseB = base + len;
    for (int32_t j = lo; j <= hi; ++j) {
      const double* pa = base + rowAt[j];
      const double* pb = baseB + rowAt[j];
      __m128d dv = _mm_load_pd(d + 2 * j);
      if constexpr (H > 1) KeepInRegister(dv);
      __m128d coefficient[H];
      for (int32_t h = 0; h < H; ++h)
        coefficient[h] = _mm_add_pd(_mm_loadu_pd(pa + 2 * h), _mm_mul_pd(_mm_loadu_pd(pb + 2 * h), dv));
      for (int32_t c = 0; c < kCh; ++c) {
        __m128d xv = _mm_load_pd(x[c] + 2 * j);
        if constexpr (H > 1) KeepInRegister(xv);
        for (int32_t h = 0; h < H; ++h) acc[c][h] = _mm_add_pd(acc[c][h], _mm_mul_pd(coefficient[h], xv));
      }
    }
    for (int32_t c = 0; c < kCh; ++c)
      for (int32_t h = 0; h < H; ++h) _mm_storeu_pd(out[c] + 2 * h, acc[c][h]);
  }
  // Runs (one channel): the samples of one row R all feed the same 2K instants
  // R − K + 1 ... R + K, so for each pair of them a run needs one pass over its samples
  // with no entries to spare, carrying the instants' sums y from run to run. Every
  // instant's sum takes its samples in ascending order from 0, exactly as the lane sums
  // do, so runs and lanes give the same results bit for bit.
  static constexpr bool kRuns = true;
  template <int32_t P>
  static VELORAND_ALWAYS_INLINE void RunPairs(const double* base, int32_t len, const int32_t* rowAt, const double* d,
                                              const double* x, int32_t j0, int32_t j1, double* y) {
    __m128d acc[P];
    for (int32_t h = 0; h < P; ++h) acc[h] = _mm_loadu_pd(y + 2 * h);
    const double* baseB = base + len;
    for (int32_t j = j0; j < j1; ++j) {
      const double* pa = base + rowAt[j];
      const double* pb = baseB + rowAt[j];
      __m128d dv = _mm_load_pd(d + 2 * j);
      __m128d xv = _mm_load_pd(x + 2 * j);
      KeepInRegister(dv);  // one load each, not one per pair
      KeepInRegister(xv);
      for (int32_t h = 0; h < P; ++h)
        acc[h] = _mm_add_pd(acc[h],
                            _mm_mul_pd(_mm_add_pd(_mm_loadu_pd(pa + 2 * h), _mm_mul_pd(_mm_loadu_pd(pb + 2 * h), dv)), xv));
    }
    for (int32_t h = 0; h < P; ++h) _mm_storeu_pd(y + 2 * h, acc[h]);
  }
  // y[1 + m] receives instant m of the chunk, for m = −1 ... instants.
  static VELORAND_ALWAYS_INLINE void RunSums(const StretchCall& c, const StretchWindow& w, const StretchChunk& ch,
                                             const double* x, double* y) {
    constexpr int32_t P = 8;  // pairs a pass: eight sums
    const int64_t M = ch.instants;
    int32_t j = 0;
    while (j < w.samples) {
      const int32_t R = w.row[j];
      int32_t e = j + 1;
      while (e < w.samples && w.row[e] == R) ++e;
      // Pair p holds instants first + 2p and first + 2p + 1 (first chunk-relative).
      const int64_t first = int64_t(R) - c.K + 1 - ch.m0;
      int64_t p0 = first >= -1 ? 0 : (-first) / 2;  // first + 2p + 1 >= 0
      int64_t p1 = M - 1 - first < 0 ? -1 : (M - 1 - first) / 2;  // first + 2p <= M − 1
      if (p1 > c.K - 1) p1 = c.K - 1;
      const double* base = c.rows + (int64_t(R) - c.K + 1);
      int64_t p = p0;
      for (; p + P <= p1 + 1; p += P)
        RunPairs<P>(base + 2 * p, c.rowLength, w.rowAt, w.d, x, j, e, y + 1 + first + 2 * p);
      if constexpr (P > 4) {
        if (p + 4 <= p1 + 1) {
          RunPairs<4>(base + 2 * p, c.rowLength, w.rowAt, w.d, x, j, e, y + 1 + first + 2 * p);
          p += 4;
        }
      }
      if constexpr (P > 2) {
        if (p + 2 <= p1 + 1) {
          RunPairs<2>(base + 2 * p, c.rowLength, w.rowAt, w.d, x, j, e, y + 1 + first + 2 * p);
          p += 2;
        }
      }
      if (p <= p1) RunPairs<1>(base + 2 * p, c.rowLength, w.rowAt, w.d, x, j, e, y + 1 + first + 2 * p);
      j = e;
    }
  }
  // dst[2j] = dst[2j + 1] = src[j] for j < count.
  static VELORAND_ALWAYS_INLINE void Widen(const float* src, double* dst, int32_t count) {
    int32_t j = 0;
    for (; j + 2 <= count; j += 2) {
      const __m128d v = LoadPairAsDouble(src + j);
      _mm_store_pd(dst + 2 * j, _mm_unpacklo_pd(v, v));
      _mm_store_pd(dst + 2 * j + 2, _mm_unpackhi_pd(v, v));
    }
    for (; j < count; ++j) dst[2 * j] = dst[2 * j + 1] = src[j];
  }
};
#else
struct PortableStretch {
  static constexpr int32_t kChannels = 2;
  static constexpr bool kRuns = false;
  static void RunSums(const StretchCall&, const StretchWindow&, const StretchChunk&, const double*, double*) {}
  static void Phases(const StretchCall& c, double k0, double fa, int32_t count, int32_t* rowAt, int32_t* row,
                     double* d) {
    ScalarPhases(c, k0, fa, count, rowAt, row, d);
  }
  template <int32_t kCh>
  static constexpr int32_t kLanesFor = 4;
  template <int32_t W, int32_t kCh>
  static void Sums(const double* base, int32_t len, const int32_t* rowAt, const double* d, const double* const* x,
                   int32_t lo, int32_t hi, double (*out)[W]) {
    double a[kCh][W] = {}, b[kCh][W] = {};
    for (int32_t j = lo; j <= hi; ++j) {
      const double* p = base + rowAt[j];
      double coefficient[W];
      for (int32_t l = 0; l < W; ++l) coefficient[l] = p[l] + p[len + l] * d[2 * j];
      for (int32_t c = 0; c < kCh; ++c)
        for (int32_t l = 0; l < W; ++l) ((j & 1) == 0 ? a : b)[c][l] += coefficient[l] * x[c][2 * j];
    }
    for (int32_t c = 0; c < kCh; ++c)
      for (int32_t l = 0; l < W; ++l) out[c][l] = a[c][l] + b[c][l];
  }
  static void Widen(const float* src, double* dst, int32_t count) {
    for (int32_t j = 0; j < count; ++j) dst[2 * j] = dst[2 * j + 1] = src[j];
  }
};
#endif

#if VELORAND_POLYPHASE_AVX2
// Four lanes with fused multiply-adds; no 32-byte value is kept in memory of its own.
struct Avx2Stretch {
  static constexpr int32_t kChannels = 4;
  static constexpr bool kRuns = false;
  static void RunSums(const StretchCall&, const StretchWindow&, const StretchChunk&, const double*, double*) {}
  static inline VELORAND_TARGET_AVX2 void Phases(const StretchCall& c, double k0, double fa, int32_t count,
                                                 int32_t* rowAt, int32_t* row, double* d) {
    const __m256d sv = _mm256_set1_pd(c.s), fav = _mm256_set1_pd(fa), half = _mm256_set1_pd(0.5);
    const __m256d invN = _mm256_set1_pd(c.invN), dn = _mm256_set1_pd(c.dn), four = _mm256_set1_pd(4.0);
    const __m256d stride = _mm256_set1_pd(2.0 * c.rowLength), lead = _mm256_set1_pd(double(kStretchPad + c.K - 1));
    __m256d jd = _mm256_set_pd(k0 + 3.0, k0 + 2.0, k0 + 1.0, k0);
    for (int32_t j = 0; j < count; j += 4, jd = _mm256_add_pd(jd, four)) {
      const __m256d v = _mm256_mul_pd(_mm256_sub_pd(jd, fav), sv);
      const __m256d qd = _mm256_floor_pd(v);
      const __m256d r = _mm256_floor_pd(_mm256_mul_pd(_mm256_add_pd(qd, half), invN));
      const __m256d phi = _mm256_fnmadd_pd(r, dn, qd);
      const __m256d at = _mm256_sub_pd(_mm256_fmadd_pd(phi, stride, lead), r);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rowAt + j), _mm256_cvttpd_epi32(at));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(row + j), _mm256_cvttpd_epi32(r));
      const __m256d f = _mm256_sub_pd(v, qd);
      const __m256d lo = _mm256_unpacklo_pd(f, f), hi = _mm256_unpackhi_pd(f, f);  // f0 f0 f2 f2, f1 f1 f3 f3
      _mm256_storeu_pd(d + 2 * j, _mm256_permute2f128_pd(lo, hi, 0x20));
      _mm256_storeu_pd(d + 2 * j + 4, _mm256_permute2f128_pd(lo, hi, 0x31));
    }
  }
  template <int32_t kCh>
  static inline VELORAND_TARGET_AVX2 void Tap(const double* p, const double* pB, const double* d,
                                              const double* const* x, int32_t j, __m256d (&acc)[kCh]) {
    const __m256d coefficient = _mm256_fmadd_pd(_mm256_loadu_pd(pB), _mm256_broadcast_sd(d + 2 * j), _mm256_loadu_pd(p));
    for (int32_t c = 0; c < kCh; ++c) acc[c] = _mm256_fmadd_pd(coefficient, _mm256_broadcast_sd(x[c] + 2 * j), acc[c]);
  }
  template <int32_t kCh>
  static constexpr int32_t kLanesFor = 4;
  template <int32_t W, int32_t kCh>
  static inline VELORAND_TARGET_AVX2 void Sums(const double* base, int32_t len, const int32_t* rowAt,
                                               const double* d, const double* const* x, int32_t lo, int32_t hi,
                                               double (*out)[W]) {
    static_assert(W == 4, "four lanes");
    __m256d a[kCh], b[kCh];  // even and odd samples
    for (int32_t c = 0; c < kCh; ++c) a[c] = b[c] = _mm256_setzero_pd();
    const double* baseB = base + len;
    int32_t j = lo;
    if (j <= hi && (j & 1) != 0) {
      Tap<kCh>(base + rowAt[j], baseB + rowAt[j], d, x, j, b);
      ++j;
    }
    for (; j + 1 <= hi; j += 2) {
      Tap<kCh>(base + rowAt[j], baseB + rowAt[j], d, x, j, a);
      Tap<kCh>(base + rowAt[j + 1], baseB + rowAt[j + 1], d, x, j + 1, b);
    }
    if (j <= hi) Tap<kCh>(base + rowAt[j], baseB + rowAt[j], d, x, j, a);
    for (int32_t c = 0; c < kCh; ++c) _mm256_storeu_pd(out[c], _mm256_add_pd(a[c], b[c]));
  }
  static inline VELORAND_TARGET_AVX2 void Widen(const float* src, double* dst, int32_t count) {
    int32_t j = 0;
    for (; j + 4 <= count; j += 4) {
      const __m256d v = _mm256_cvtps_pd(_mm_loadu_ps(src + j));
      const __m256d lo = _mm256_unpacklo_pd(v, v), hi = _mm256_unpackhi_pd(v, v);  // x0 x0 x2 x2, x1 x1 x3 x3
      _mm256_storeu_pd(dst + 2 * j, _mm256_permute2f128_pd(lo, hi, 0x20));
      _mm256_storeu_pd(dst + 2 * j + 4, _mm256_permute2f128_pd(lo, hi, 0x31));
    }
    for (; j < count; ++j) dst[2 * j] = dst[2 * j + 1] = src[j];
  }
};
#endif

// The outputs of one instant for kCh channels from its sums: fixes or the plain reading
// applied, scaled, rounded to float.
template <int32_t kCh>
VELORAND_ALWAYS_INLINE void StretchOutputs(const StretchCall& c, const StretchChunk& ch, const float* const* src,
                                           float* const* dst, const double* const* x, int32_t count, int32_t m,
                                           const double* sums, std::size_t sumStride, double scale) {
  for (int32_t k = 0; k < kCh; ++k) {
    double acc = sums[std::size_t(k) * sumStride];
    if (ch.plain[m]) {
      acc = PlainStretched(c.F, src[k] + ch.at[m], ch.frac[m], c.factor, c.dn, c.s, c.invS, c.limit);
    } else {
      for (int32_t f = 0; f < ch.fixCount[m]; ++f) acc += ch.fix[m][f] * x[k][2 * ch.fixAt[m][f]];
    }
    dst[k][count + m] = float(acc * scale);
  }
}

template <class Stretch, int32_t kCh>
VELORAND_ALWAYS_INLINE void StretchGroups(const StretchCall& c, const StretchWindow& w, const StretchChunk& ch,
                                          const float* const* src, float* const* dst, const double* const* x,
                                          int32_t count, double scale) {
  // Runs pay for their sums' loads and stores once per run, so they serve one channel
  // where rows hold several samples (below kRunsBelow); several channels share each
  // coefficient pair in the lanes instead.
  if constexpr (Stretch::kRuns && kCh == 1) {
    if (c.factor < kRunsBelow) {
      double sums[kStretchInstants + 4];  // instant m at 1 + m, for m = −1 ... instants + 1
      for (int32_t m = 0; m < ch.instants + 3; ++m) sums[m] = 0.0;
      double* y = sums;
      Stretch::RunSums(c, w, ch, x[0], y);
      for (int32_t m = 0; m < ch.instants; ++m) StretchOutputs<1>(c, ch, src, dst, x, count, m, &sums[1 + m], 0, scale);
      return;
    }
  }
  {
    constexpr int32_t W = Stretch::template kLanesFor<kCh>;
    for (int32_t m0 = 0; m0 < ch.instants; m0 += W) {
      int32_t lo, hi;
      GroupSamples(c, w, ch.m0 + m0, W, &lo, &hi);
      double sums[kCh][W];
      Stretch::template Sums<W, kCh>(c.rows + (ch.m0 + m0), c.rowLength, w.rowAt, w.d, x, lo, hi, sums);
      const int32_t lanes = ch.instants - m0 < W ? ch.instants - m0 : W;
      for (int32_t l = 0; l < lanes; ++l) StretchOutputs<kCh>(c, ch, src, dst, x, count, m0 + l, &sums[0][l], W, scale);
    }
  }
}

// StretchGroups for a block of 1 ... Stretch::kChannels channels.
template <class Stretch, int32_t kCh = 1>
VELORAND_ALWAYS_INLINE void StretchBlock(int32_t block, const StretchCall& c, const StretchWindow& w,
                                         const StretchChunk& ch, const float* const* src, float* const* dst,
                                         const double* const* x, int32_t count, double scale) {
  if (block == kCh) {
    StretchGroups<Stretch, kCh>(c, w, ch, src, dst, x, count, scale);
  } else if constexpr (kCh < Stretch::kChannels) {
    StretchBlock<Stretch, kCh + 1>(block, c, w, ch, src, dst, x, count, scale);
  }
}

template <class Stretch>
VELORAND_ALWAYS_INLINE int32_t RunStretchedBody(const ResamplePolyphaseState* s, const float* const* src,
                                                int32_t channels, float* const* dst, double& t, double end,
                                                double step, double factor, float norm) {
  StretchCall c;
  c.F = s->filter;
  c.rows = StretchRows(s);
  c.n = s->phaseCount;
  c.L = s->tableLength;
  c.K = SideTaps(c.L, c.n);
  c.rowLength = StretchRowLength(c.K);
  c.dn = c.n;
  c.invN = 1.0 / c.dn;
  c.s = factor * c.dn;
  c.invS = 1.0 / c.s;
  c.limit = c.L - kPhaseNudge;
  c.factor = factor;
  // Taps a side at most: the count at position 0, since counts only fall as it grows.
  c.reach = StretchedTapCount(0.0, c.s, c.invS, c.limit);
  const auto span = int64_t(1073741824.0 * c.invS);
  c.anchorSpan = span < kMaxAnchorSpan ? span : kMaxAnchorSpan;
  const double scale = double(norm) * factor * double(s->gain);
  int32_t count = 0;
  if (c.rows == nullptr || 2 * int64_t(c.reach) > kStretchSamples) {
    // Designs too wide for the rows or the window take the plain reading throughout.
    do {
      const int64_t i = int64_t(t);
      const double frac = t - double(i);
      for (int32_t k = 0; k < channels; ++k)
        dst[k][count] = float(PlainStretched(c.F, src[k] + i, frac, factor, c.dn, c.s, c.invS, c.limit) * scale);
      ++count;
      t += step;
    } while (t < end);
    return count;
  }
  StretchWindow w;
  StretchChunk ch;
  alignas(16) double widened[kMaxStretchChannels][2 * kStretchSamples];
  while (t < end) {
    PrepareChunk<Stretch>(c, w, ch, t, end, step);
    for (int32_t k0 = 0; k0 < channels; k0 += Stretch::kChannels) {
      const int32_t block = channels - k0 < Stretch::kChannels ? channels - k0 : Stretch::kChannels;
      const double* x[kMaxStretchChannels];
      for (int32_t k = 0; k < block; ++k) {
        Stretch::Widen(src[k0 + k] + w.first, widened[k], w.samples);
        x[k] = widened[k];
      }
      StretchBlock<Stretch>(block, c, w, ch, src + k0, dst + k0, x, count, scale);
    }
    ch.m0 += ch.instants;
    count += ch.instants;
  }
  return count;
}

int32_t RunStretchedPortable(const ResamplePolyphaseState* s, const float* const* src, int32_t channels,
                             float* const* dst, double& t, double end, double step, double factor, float norm) {
  return RunStretchedBody<PortableStretch>(s, src, channels, dst, t, end, step, factor, norm);
}

#if VELORAND_POLYPHASE_AVX2
VELORAND_TARGET_AVX2 int32_t RunStretchedAvx2(const ResamplePolyphaseState* s, const float* const* src,
                                              int32_t channels, float* const* dst, double& t, double end,
                                              double step, double factor, float norm) {
  return RunStretchedBody<Avx2Stretch>(s, src, channels, dst, t, end, step, factor, norm);
}
#endif

int32_t RunStretched(const ResamplePolyphaseState* s, const float* const* src, int32_t channels, float* const* dst,
                     double& t, double end, double step, double factor, float norm) {
#if VELORAND_POLYPHASE_AVX2
  if (gVariant.load(std::memory_order_relaxed) == int32_t(PolyphaseVariant::Avx2Fma))
    return RunStretchedAvx2(s, src, channels, dst, t, end, step, factor, norm);
#endif
  return RunStretchedPortable(s, src, channels, dst, t, end, step, factor, norm);
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
  const std::size_t stretchOffset = StretchOffset(count, phases);
  const std::size_t stretchBytes = StretchBytes(count, phases);
  const std::size_t blockBytes = stretchOffset + stretchBytes;
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
  if (stretchBytes != 0)
    FillStretchRows(reinterpret_cast<double*>(static_cast<unsigned char*>(block) + stretchOffset), F, phases, count);

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
                          : RunStretched(state, &src, 1, &dst, t, end, step, factor, norm);
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
      count = RunStretched(state, src, channels, dst, t, end, step, factor, norm);
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
