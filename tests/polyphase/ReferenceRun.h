// A deliberately plain reading of the resampling run: one coefficient per tap read with
// the table's stride, interpolated on its own, accumulated in one double, positions by
// repeated addition. The optimised kernel must agree with it to float rounding.
#pragma once

#include <cstdint>

#include "polyphase/ResamplePolyphase.h"

namespace polyphase_test {

inline int32_t ReferenceRun(const ResamplePolyphaseState* s, const float* src, int32_t length, float* dst,
                            double factor, float norm, double* time) {
  const int32_t n = s->phaseCount;
  const int32_t L = s->tableLength;
  const float* F = s->filter;
  double t = *time;
  const double end = double(int64_t(length) + int64_t(t));
  const double step = 1.0 / factor;
  int32_t count = 0;
  auto coefficient = [F](double p) {
    const int32_t q = int32_t(p);
    const double d = p - q;
    return (1.0 - d) * F[q] + d * F[q + 1];
  };
  while (t < end) {
    const int64_t i = int64_t(t);
    const double frac = t - double(i);
    const float* x = src + i;
    double acc = 0.0;
    double scale;
    if (factor >= 1.0) {
      scale = float(norm * s->gain);
      const double u = n * frac;
      const int32_t j = int32_t(u + 0.00001);
      const double d = u - j;
      for (int32_t k = 0; j + k * n < L; ++k)
        acc += ((1.0 - d) * F[j + k * n] + d * F[j + k * n + 1]) * x[-k];
      const double ur = n * (1.0 - frac);
      const int32_t jr = int32_t(ur + 0.00001);
      const double dr = ur - jr;
      for (int32_t k = 0; jr + k * n < L; ++k)
        acc += ((1.0 - dr) * F[jr + k * n] + dr * F[jr + k * n + 1]) * x[1 + k];
    } else {
      scale = double(norm) * factor * double(s->gain);
      const double limit = L - 0.00001;
      const double spacing = factor * n;
      double u = factor * frac * n;
      for (int32_t k = 0; u < limit; ++k, u += spacing) acc += coefficient(u) * x[-k];
      u = (1.0 - frac) * factor * n;
      for (int32_t k = 0; u < limit; ++k, u += spacing) acc += coefficient(u) * x[1 + k];
    }
    dst[count++] = float(acc * scale);
    t += step;
  }
  *time = t;
  return count;
}

}  // namespace polyphase_test
