#include "polyphase/ResamplePolyphase.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#if defined(__SSE2__) && !defined(VELORAND_POLYPHASE_SCALAR)
#define VELORAND_POLYPHASE_SSE2 1
#include <emmintrin.h>
#else
#define VELORAND_POLYPHASE_SSE2 0
#endif

// Layout of the state block (one allocation, 32-byte aligned):
//   [record][filter: L + 1 floats][pad to 32][phase rows: (n + 1) × 2K doubles]
// The phase rows serve the run at factors of 1 and above. There the taps of one side of
// an output instant sit exactly n table entries apart, so for a phase j the side needs
// F[j], F[j + n], F[j + 2n], ... and their right-hand neighbours F[j + 1], F[j + n + 1],
// ...; reading them with a stride of n defeats vector loads. Row P of phase j holds
// F[j + k·n] and row Q holds F[j + k·n + 1] for k = 0 ... K − 1, with zeros where
// j + k·n >= L (the taps the side does not have), widened to double once at creation so
// the inner loop neither gathers nor converts coefficients. K = ceil(L / n) is the most
// taps one side can have; j runs to n inclusive because the phase index can reach n when
// the fraction is 0 (right side) or a hair below 1 (left side).

namespace {

constexpr double kPi = 3.141592653589793;
// Pulls a phase position that lies a hair below an integer up to that integer, so that
// rounding noise in the time does not switch phases; the tiny negative interpolation
// fraction that results is a harmless extrapolation.
constexpr double kPhaseNudge = 0.00001;
constexpr std::size_t kBlockAlign = 32;

std::size_t AlignUp(std::size_t v, std::size_t a) { return (v + a - 1) / a * a; }

// Taps on one side of an output instant at most: ceil(L / n).
int32_t SideTaps(int32_t tableLength, int32_t phaseCount) {
  return int32_t((int64_t(tableLength) + phaseCount - 1) / phaseCount);
}

std::size_t RowsOffset(int32_t tableLength) {
  return AlignUp(sizeof(ResamplePolyphaseState) + (std::size_t(tableLength) + 1) * sizeof(float), kBlockAlign);
}

const double* PhaseRows(const ResamplePolyphaseState* s) {
  return reinterpret_cast<const double*>(reinterpret_cast<const unsigned char*>(s) + RowsOffset(s->tableLength));
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

// ---- Dot products over one side of an instant (factor >= 1) ---------------------------
// Each returns the two sums Σ P[k]·x and Σ Q[k]·x; the caller blends them with the
// interpolation fraction, which equals interpolating every coefficient first.

#if VELORAND_POLYPHASE_SSE2

inline double HorizontalSum(__m128d v) { return _mm_cvtsd_f64(_mm_add_sd(v, _mm_unpackhi_pd(v, v))); }

// Taps k = 0 ... K − 1 on samples x[1 + k] (x1 points at x[1]).
inline void SideSumsRight(const double* P, const double* Q, const float* x1, int32_t K, double& sp, double& sq) {
  __m128d p0 = _mm_setzero_pd(), p1 = _mm_setzero_pd(), q0 = _mm_setzero_pd(), q1 = _mm_setzero_pd();
  int32_t k = 0;
  for (; k + 4 <= K; k += 4) {
    const __m128 xv = _mm_loadu_ps(x1 + k);
    const __m128d xl = _mm_cvtps_pd(xv);
    const __m128d xh = _mm_cvtps_pd(_mm_movehl_ps(xv, xv));
    p0 = _mm_add_pd(p0, _mm_mul_pd(_mm_loadu_pd(P + k), xl));
    p1 = _mm_add_pd(p1, _mm_mul_pd(_mm_loadu_pd(P + k + 2), xh));
    q0 = _mm_add_pd(q0, _mm_mul_pd(_mm_loadu_pd(Q + k), xl));
    q1 = _mm_add_pd(q1, _mm_mul_pd(_mm_loadu_pd(Q + k + 2), xh));
  }
  double a = HorizontalSum(_mm_add_pd(p0, p1));
  double b = HorizontalSum(_mm_add_pd(q0, q1));
  for (; k < K; ++k) {
    const double xv = x1[k];
    a += P[k] * xv;
    b += Q[k] * xv;
  }
  sp = a;
  sq = b;
}

// Taps k = 0 ... K − 1 on samples x[−k] (x0 points at x[0]).
inline void SideSumsLeft(const double* P, const double* Q, const float* x0, int32_t K, double& sp, double& sq) {
  __m128d p0 = _mm_setzero_pd(), p1 = _mm_setzero_pd(), q0 = _mm_setzero_pd(), q1 = _mm_setzero_pd();
  int32_t k = 0;
  for (; k + 4 <= K; k += 4) {
    // x[−k−3] ... x[−k] loaded in memory order, then reversed to x[−k] ... x[−k−3].
    __m128 xv = _mm_loadu_ps(x0 - k - 3);
    xv = _mm_shuffle_ps(xv, xv, _MM_SHUFFLE(0, 1, 2, 3));
    const __m128d xl = _mm_cvtps_pd(xv);
    const __m128d xh = _mm_cvtps_pd(_mm_movehl_ps(xv, xv));
    p0 = _mm_add_pd(p0, _mm_mul_pd(_mm_loadu_pd(P + k), xl));
    p1 = _mm_add_pd(p1, _mm_mul_pd(_mm_loadu_pd(P + k + 2), xh));
    q0 = _mm_add_pd(q0, _mm_mul_pd(_mm_loadu_pd(Q + k), xl));
    q1 = _mm_add_pd(q1, _mm_mul_pd(_mm_loadu_pd(Q + k + 2), xh));
  }
  double a = HorizontalSum(_mm_add_pd(p0, p1));
  double b = HorizontalSum(_mm_add_pd(q0, q1));
  for (; k < K; ++k) {
    const double xv = x0[-k];
    a += P[k] * xv;
    b += Q[k] * xv;
  }
  sp = a;
  sq = b;
}

#else

// Portable version: four taps per pass with independent accumulators, then one at a time.
inline void SideSums(const double* P, const double* Q, const float* x, ptrdiff_t dir, int32_t K, double& sp,
                     double& sq) {
  double a0 = 0, a1 = 0, a2 = 0, a3 = 0, b0 = 0, b1 = 0, b2 = 0, b3 = 0;
  int32_t k = 0;
  for (; k + 4 <= K; k += 4) {
    const double x0 = x[dir * k], x1 = x[dir * (k + 1)], x2 = x[dir * (k + 2)], x3 = x[dir * (k + 3)];
    a0 += P[k] * x0;
    a1 += P[k + 1] * x1;
    a2 += P[k + 2] * x2;
    a3 += P[k + 3] * x3;
    b0 += Q[k] * x0;
    b1 += Q[k + 1] * x1;
    b2 += Q[k + 2] * x2;
    b3 += Q[k + 3] * x3;
  }
  double a = (a0 + a1) + (a2 + a3);
  double b = (b0 + b1) + (b2 + b3);
  for (; k < K; ++k) {
    const double xv = x[dir * k];
    a += P[k] * xv;
    b += Q[k] * xv;
  }
  sp = a;
  sq = b;
}

inline void SideSumsRight(const double* P, const double* Q, const float* x1, int32_t K, double& sp, double& sq) {
  SideSums(P, Q, x1, 1, K, sp, sq);
}
inline void SideSumsLeft(const double* P, const double* Q, const float* x0, int32_t K, double& sp, double& sq) {
  SideSums(P, Q, x0, -1, K, sp, sq);
}

#endif

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
  // The quotient may be off by one either way; settle it against the positions themselves.
  while (c > 0 && !(u0 + double(c - 1) * s < limit)) --c;
  while (c < int64_t(1e9) && u0 + double(c) * s < limit) ++c;
  return int32_t(c);
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
int32_t RunWide(const ResamplePolyphaseState* s, const float* src, float* dst, double& t, double end, double step,
                float norm) {
  const int32_t n = s->phaseCount;
  const int32_t K = SideTaps(s->tableLength, n);
  const double* rows = PhaseRows(s);
  const std::size_t rowPair = 2 * std::size_t(K);
  const double dn = n;
  const float scale = norm * s->gain;
  int32_t count = 0;
  do {
    const int64_t i = int64_t(t);
    const double frac = t - double(i);
    const float* x = src + i;

    const double u = dn * frac;
    const int32_t j = int32_t(u + kPhaseNudge);
    const double d = u - j;
    const double ur = dn * (1.0 - frac);
    const int32_t jr = int32_t(ur + kPhaseNudge);
    const double dr = ur - jr;

    const double* left = rows + std::size_t(j) * rowPair;
    const double* right = rows + std::size_t(jr) * rowPair;
    double lp, lq, rp, rq;
    SideSumsLeft(left, left + K, x, K, lp, lq);
    SideSumsRight(right, right + K, x + 1, K, rp, rq);
    const double acc = ((1.0 - d) * lp + d * lq) + ((1.0 - dr) * rp + dr * rq);
    dst[count++] = float(acc * scale);
    t += step;
  } while (t < end);
  return count;
}

// Factor < 1: the filter is stretched by 1 / factor and its sum scaled back by factor.
int32_t RunStretched(const ResamplePolyphaseState* s, const float* src, float* dst, double& t, double end,
                     double step, double factor, float norm) {
  const double dn = s->phaseCount;
  const float* F = s->filter;
  const double limit = s->tableLength - kPhaseNudge;
  const double spacing = factor * dn;
  const double invSpacing = 1.0 / spacing;
  const double scale = double(norm) * factor * double(s->gain);
  int32_t count = 0;
  do {
    const int64_t i = int64_t(t);
    const double frac = t - double(i);
    const float* x = src + i;

    const double ul = factor * frac * dn;
    const double ur = (1.0 - frac) * factor * dn;
    const int32_t cl = StretchedTapCount(ul, spacing, invSpacing, limit);
    const int32_t cr = StretchedTapCount(ur, spacing, invSpacing, limit);
    const double acc = StretchedSide(F, x, true, ul, spacing, cl) + StretchedSide(F, x + 1, false, ur, spacing, cr);
    dst[count++] = float(acc * scale);
    t += step;
  } while (t < end);
  return count;
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

  const int32_t K = SideTaps(count, phases);
  const std::size_t rowsOffset = RowsOffset(count);
  const std::size_t rowPair = 2 * std::size_t(K);
  const std::size_t blockBytes = rowsOffset + (std::size_t(phases) + 1) * rowPair * sizeof(double);
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

  double* rows = reinterpret_cast<double*>(static_cast<unsigned char*>(block) + rowsOffset);
  for (int32_t j = 0; j <= phases; ++j) {
    double* P = rows + std::size_t(j) * rowPair;
    double* Q = P + K;
    for (int32_t k = 0; k < K; ++k) {
      const int64_t q = int64_t(j) + int64_t(k) * phases;
      const bool inside = q < count;
      P[k] = inside ? double(F[q]) : 0.0;
      Q[k] = inside ? double(F[q + 1]) : 0.0;
    }
  }

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
    count = factor >= 1.0 ? RunWide(state, src, dst, t, end, step, norm)
                          : RunStretched(state, src, dst, t, end, step, factor, norm);
  }
  *time = t;
  *outCount = count;
  return ippStsNoErr;
}

int32_t ippsMove_32f(const float* src, float* dst, int32_t length) {
  if (src == nullptr || dst == nullptr) return ippStsNullPtrErr;
  if (length <= 0) return ippStsSizeErr;
  if (src > dst) {
    for (int32_t i = 0; i < length; ++i) dst[i] = src[i];
  } else if (src < dst) {
    for (int32_t i = length; i-- > 0;) dst[i] = src[i];
  }
  return ippStsNoErr;
}

// One portable variant: nothing to choose.
void ippsSelectVariant() {}
