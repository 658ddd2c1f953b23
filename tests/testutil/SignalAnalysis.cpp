// Test-tone analysis: sine fitting, recurrence-based continuity checks, onsets, raw files.
#include "testutil/SignalAnalysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sigan {
namespace {
constexpr double kPi = 3.14159265358979323846;

// Solves the m x m system a x = b in place (Gaussian elimination, partial pivoting).
bool Solve(double* a, double* b, int m) {
  for (int col = 0; col < m; ++col) {
    int piv = col;
    for (int r = col + 1; r < m; ++r)
      if (std::fabs(a[r * m + col]) > std::fabs(a[piv * m + col])) piv = r;
    if (std::fabs(a[piv * m + col]) < 1e-300) return false;
    if (piv != col) {
      for (int k = 0; k < m; ++k) std::swap(a[col * m + k], a[piv * m + k]);
      std::swap(b[col], b[piv]);
    }
    for (int r = col + 1; r < m; ++r) {
      double f = a[r * m + col] / a[col * m + col];
      for (int k = col; k < m; ++k) a[r * m + k] -= f * a[col * m + k];
      b[r] -= f * b[col];
    }
  }
  for (int r = m - 1; r >= 0; --r) {
    double s = b[r];
    for (int k = r + 1; k < m; ++k) s -= a[r * m + k] * b[k];
    b[r] = s / a[r * m + r];
  }
  return true;
}
}  // namespace

std::vector<float> Channel(const int16_t* interleaved, size_t frames, int channels, int channel) {
  std::vector<float> out(frames);
  for (size_t i = 0; i < frames; ++i)
    out[i] = static_cast<float>(interleaved[i * static_cast<size_t>(channels) + static_cast<size_t>(channel)] / 32768.0);
  return out;
}

std::vector<float> Channel(const std::vector<int16_t>& interleaved, int channels, int channel) {
  return Channel(interleaved.data(), interleaved.size() / static_cast<size_t>(channels), channels, channel);
}

std::vector<int16_t> MakeTone(double frequency, double rate, size_t frames, int channels, double amplitude,
                              double phase) {
  std::vector<int16_t> out(frames * static_cast<size_t>(channels));
  const double w = 2.0 * kPi * frequency / rate;
  for (size_t i = 0; i < frames; ++i) {
    double v = std::lround(amplitude * 32767.0 * std::sin(w * static_cast<double>(i) + phase));
    v = std::clamp(v, -32768.0, 32767.0);
    for (int c = 0; c < channels; ++c) out[i * static_cast<size_t>(channels) + static_cast<size_t>(c)] = static_cast<int16_t>(v);
  }
  return out;
}

double Rms(const float* x, size_t n) {
  if (n == 0) return 0.0;
  double s = 0.0;
  for (size_t i = 0; i < n; ++i) s += static_cast<double>(x[i]) * x[i];
  return std::sqrt(s / static_cast<double>(n));
}

double LevelDb(const float* x, size_t n) {
  double r = Rms(x, n) * std::sqrt(2.0);
  return r > 1e-10 ? 20.0 * std::log10(r) : -200.0;
}

double EstimateFrequency(const float* x, size_t n, double rate) {
  if (n < 3) return 0.0;
  double mean = 0.0, peak = 0.0;
  for (size_t i = 0; i < n; ++i) mean += x[i];
  mean /= static_cast<double>(n);
  for (size_t i = 0; i < n; ++i) peak = std::max(peak, std::fabs(x[i] - mean));
  if (peak <= 0.0) return 0.0;
  // Hysteresis: a rising crossing counts only after the signal has been clearly negative,
  // so noise around zero does not add crossings.
  const double h = 0.1 * peak;
  bool armed = false;
  double first = -1.0, last = -1.0;
  size_t count = 0;
  for (size_t i = 1; i < n; ++i) {
    double a = x[i - 1] - mean, b = x[i] - mean;
    if (b < -h) armed = true;
    if (armed && a < 0.0 && b >= 0.0) {
      double t = static_cast<double>(i - 1) + (-a) / (b - a);
      if (count == 0) first = t;
      last = t;
      ++count;
      armed = false;
    }
  }
  if (count < 2) return 0.0;
  return static_cast<double>(count - 1) / (last - first) * rate;
}

ToneFit FitTone(const float* x, size_t n, double rate, double frequencyHint) {
  ToneFit fit;
  if (n < 16 || rate <= 0.0) return fit;
  double f = frequencyHint > 0.0 ? frequencyHint : EstimateFrequency(x, n, rate);
  if (f <= 0.0 || f >= rate / 2) return fit;
  double w = 2.0 * kPi * f / rate;  // rad/sample
  const double centre = 0.5 * static_cast<double>(n - 1);
  double a = 0.0, b = 0.0, c = 0.0;
  auto residual = [&](double ww, double aa, double bb, double cc) {
    double r = 0.0;
    for (size_t i = 0; i < n; ++i) {
      double t = static_cast<double>(i) - centre;
      double e = x[i] - (aa * std::cos(ww * t) + bb * std::sin(ww * t) + cc);
      r += e * e;
    }
    return r;
  };
  // Three-parameter fit at the current frequency, then four-parameter Gauss-Newton steps
  // that also move the frequency; time is centred so the frequency column stays small.
  // A step that does not lower the residual (a signal that is no steady sine: a chirp, a
  // dropout) is not taken, so the fit never runs away from its starting point.
  double best = -1.0;
  for (int iter = 0; iter < 12; ++iter) {
    const bool withFreq = iter > 0;
    const int m = withFreq ? 4 : 3;
    double ata[16] = {}, atb[4] = {};
    for (size_t i = 0; i < n; ++i) {
      double t = static_cast<double>(i) - centre;
      double cs = std::cos(w * t), sn = std::sin(w * t);
      double col[4] = {cs, sn, 1.0, t * (-a * sn + b * cs)};
      double y = x[i];
      for (int r = 0; r < m; ++r) {
        atb[r] += col[r] * y;
        for (int k = r; k < m; ++k) ata[r * m + k] += col[r] * col[k];
      }
    }
    for (int r = 0; r < m; ++r)
      for (int k = 0; k < r; ++k) ata[r * m + k] = ata[k * m + r];
    if (!Solve(ata, atb, m)) break;
    const double nw = withFreq ? w + atb[3] : w;
    const double res = residual(nw, atb[0], atb[1], atb[2]);
    if (best >= 0.0 && !(res < best)) break;
    best = res;
    a = atb[0];
    b = atb[1];
    c = atb[2];
    w = nw;
    if (withFreq && std::fabs(atb[3]) < 1e-13) break;
  }
  if (best < 0.0) return fit;
  const double resid = best;
  fit.frequency = w * rate / (2.0 * kPi);
  fit.amplitude = std::hypot(a, b);
  // a cos + b sin = A sin(wt + phi) with phi = atan2(a, b); move it from the centre to 0.
  fit.phase = std::remainder(std::atan2(a, b) - w * centre, 2.0 * kPi);
  fit.offset = c;
  fit.residualRms = std::sqrt(resid / static_cast<double>(n));
  fit.levelDb = fit.amplitude > 1e-10 ? 20.0 * std::log10(fit.amplitude) : -200.0;
  const double toneRms = fit.amplitude / std::sqrt(2.0);
  if (toneRms > 0.0) {
    double ratio = std::max(fit.residualRms / toneRms, 1e-12);
    fit.thdnDb = 20.0 * std::log10(ratio);
    fit.thdnPercent = 100.0 * ratio;
    fit.valid = std::isfinite(fit.frequency) && fit.frequency > 0.0;
  }
  return fit;
}

std::vector<Discontinuity> FindDiscontinuities(const float* x, size_t n, double rate, double frequency,
                                               const ContinuityOptions& options) {
  std::vector<Discontinuity> found;
  auto add = [&](size_t index, double magnitude, const char* kind) {
    if (!found.empty() && found.back().kind == kind && index - found.back().index < options.mergeDistance) {
      found.back().magnitude = std::max(found.back().magnitude, magnitude);
      return;
    }
    found.push_back({index, magnitude, kind});
  };
  if (n < 8 || rate <= 0.0) return found;
  const double amplitude = Rms(x, n) * std::sqrt(2.0);
  if (amplitude <= 0.0) return found;

  // Short-window envelope: dropouts and dips.
  const size_t win = std::max<size_t>(8, static_cast<size_t>(rate * 0.002));
  std::vector<double> levels;
  for (size_t s = 0; s + win <= n; s += win) levels.push_back(Rms(x + s, win));
  std::vector<Discontinuity> dips;
  if (!levels.empty()) {
    std::vector<double> sorted = levels;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2), sorted.end());
    const double median = sorted[sorted.size() / 2];
    const double floor = median * std::pow(10.0, -options.dropoutDb / 20.0);
    for (size_t k = 0; k < levels.size(); ++k)
      if (levels[k] < floor) dips.push_back({k * win, 1.0 - levels[k] / median, "dropout"});
  }

  // Recurrence error: zero for any clean sine of this frequency.
  const double k2 = 2.0 * std::cos(2.0 * kPi * frequency / rate);
  for (size_t i = 2; i < n; ++i) {
    double e = std::fabs(x[i] - k2 * x[i - 1] + x[i - 2]) / amplitude;
    if (e > options.jumpThreshold) add(i, e, "jump");
  }
  for (const Discontinuity& d : dips) add(d.index, d.magnitude, "dropout");
  std::sort(found.begin(), found.end(), [](const Discontinuity& l, const Discontinuity& r) { return l.index < r.index; });
  return found;
}

size_t FindOnset(const float* x, size_t n, double fraction) {
  if (n == 0) return 0;
  std::vector<float> mag(n);
  for (size_t i = 0; i < n; ++i) mag[i] = std::fabs(x[i]);
  size_t q = std::min(n - 1, static_cast<size_t>(static_cast<double>(n) * 0.999));
  std::nth_element(mag.begin(), mag.begin() + static_cast<long>(q), mag.end());
  const double peak = mag[q];
  if (peak <= 0.0) return n;
  const double thr = fraction * peak;
  size_t i = 0;
  while (i < n && std::fabs(x[i]) <= thr) ++i;
  if (i == n) return n;
  // Walk back over the rising first half-wave to where it left the noise floor.
  const double floor = 0.01 * peak;
  while (i > 0 && std::fabs(x[i - 1]) > floor && std::fabs(x[i - 1]) <= std::fabs(x[i])) --i;
  return i;
}

bool WriteRaw16(const std::string& path, const std::vector<int16_t>& samples) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  size_t w = std::fwrite(samples.data(), sizeof(int16_t), samples.size(), f);
  bool ok = std::fclose(f) == 0 && w == samples.size();
  return ok;
}

bool ReadRaw16(const std::string& path, std::vector<int16_t>* samples) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  samples->clear();
  int16_t buf[4096];
  size_t got;
  while ((got = std::fread(buf, sizeof(int16_t), 4096, f)) > 0) samples->insert(samples->end(), buf, buf + got);
  std::fclose(f);
  return true;
}

}  // namespace sigan
