// Quality report of the resampling run, fed the way the engine feeds it (blocks of 512,
// carried time), for windows 15, 23 and 31 at the engine's typical factors:
//   THD+N of a -1 dBFS 997 Hz sine (everything that is not the sine, relative to it),
//   alias rejection of a tone between the output and the input Nyquist frequency when
//   converting down (image rejection of a tone at 0.8 of the input Nyquist when converting
//   up: there no input tone can lie above the output Nyquist),
//   passband flatness from 0.05 to 0.9 of the lower Nyquist (peak-to-peak gain spread and
//   the gain at 0.9).
// The factor passed with every block is the nominal one times (1 + 10 ppm), as the engine's
// tracking makes it: at an exact 2, 0.5 or 0.125 every instant would fall on one of two
// table phases and hide the interpolation error. Resamplers that run at a fixed ratio get
// the nominal one. Peer resamplers found at configure time are measured the same way in
// the same run and printed with their difference to our nearest window.
// Usage: polyphase_quality
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Resamplers.h"
#include "polyphase/PolyphaseVariant.h"

using namespace polyphase_bench;

namespace {

constexpr double kPi = 3.141592653589793;

// Converts a whole signal in blocks of kBlock; a fresh resampler per signal.
std::vector<float> Convert(BlockResampler& r, const std::vector<float>& in, double factor) {
  std::vector<float> out;
  out.reserve(std::size_t(double(in.size()) * factor) + 1024);
  std::vector<float> chunk(kOutRoom);
  for (std::size_t pos = 0; pos + kBlock <= in.size(); pos += kBlock) {
    const int n = r.Process(in.data() + pos, kBlock, chunk.data(), factor);
    out.insert(out.end(), chunk.begin(), chunk.begin() + n);
  }
  return out;
}

std::vector<float> Sine(double freq, double rate, double amplitude, std::size_t count) {
  std::vector<float> v(count);
  for (std::size_t i = 0; i < count; ++i) v[i] = float(amplitude * std::sin(2.0 * kPi * freq / rate * double(i)));
  return v;
}

// Least-squares fit of DC plus a sine/cosine pair at each of the given frequencies
// (cycles per sample) to x[begin, end). Returns the amplitudes; residualRms gets the RMS
// of what the fit leaves.
std::vector<double> FitTones(const std::vector<float>& x, std::size_t begin, std::size_t end,
                             const std::vector<double>& freqs, double* residualRms = nullptr) {
  const std::size_t p = 1 + 2 * freqs.size();
  std::vector<double> ata(p * p, 0.0), atb(p, 0.0), basis(p);
  for (std::size_t i = begin; i < end; ++i) {
    basis[0] = 1.0;
    for (std::size_t f = 0; f < freqs.size(); ++f) {
      const double ph = 2.0 * kPi * freqs[f] * double(i);
      basis[1 + 2 * f] = std::sin(ph);
      basis[2 + 2 * f] = std::cos(ph);
    }
    for (std::size_t r = 0; r < p; ++r) {
      atb[r] += basis[r] * x[i];
      for (std::size_t c = r; c < p; ++c) ata[r * p + c] += basis[r] * basis[c];
    }
  }
  for (std::size_t r = 0; r < p; ++r)
    for (std::size_t c = 0; c < r; ++c) ata[r * p + c] = ata[c * p + r];
  // Gaussian elimination with partial pivoting on the small normal equations.
  std::vector<double> coef = atb;
  for (std::size_t col = 0; col < p; ++col) {
    std::size_t piv = col;
    for (std::size_t r = col + 1; r < p; ++r)
      if (std::fabs(ata[r * p + col]) > std::fabs(ata[piv * p + col])) piv = r;
    if (piv != col) {
      for (std::size_t c = 0; c < p; ++c) std::swap(ata[col * p + c], ata[piv * p + c]);
      std::swap(coef[col], coef[piv]);
    }
    for (std::size_t r = col + 1; r < p; ++r) {
      const double m = ata[r * p + col] / ata[col * p + col];
      for (std::size_t c = col; c < p; ++c) ata[r * p + c] -= m * ata[col * p + c];
      coef[r] -= m * coef[col];
    }
  }
  for (std::size_t col = p; col-- > 0;) {
    for (std::size_t c = col + 1; c < p; ++c) coef[col] -= ata[col * p + c] * coef[c];
    coef[col] /= ata[col * p + col];
  }
  if (residualRms) {
    double sum = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
      double model = coef[0];
      for (std::size_t f = 0; f < freqs.size(); ++f) {
        const double ph = 2.0 * kPi * freqs[f] * double(i);
        model += coef[1 + 2 * f] * std::sin(ph) + coef[2 + 2 * f] * std::cos(ph);
      }
      sum += (x[i] - model) * (x[i] - model);
    }
    *residualRms = std::sqrt(sum / double(end - begin));
  }
  std::vector<double> amps(freqs.size());
  for (std::size_t f = 0; f < freqs.size(); ++f) amps[f] = std::hypot(coef[1 + 2 * f], coef[2 + 2 * f]);
  return amps;
}

// The steady part of an output: skips the start-up (filter delay, priming) and the tail.
void SteadyRange(std::size_t size, std::size_t* begin, std::size_t* end) {
  *begin = size / 4;
  *end = size - size / 20;
}

double Db(double ratio) { return 20.0 * std::log10(std::max(ratio, 1e-30)); }

// Folds a frequency (Hz) into [0, rate / 2].
double Fold(double f, double rate) {
  f = std::fmod(f, rate);
  return f > rate / 2 ? rate - f : f;
}

struct Figures {
  double thdn = 0.0;        // dB relative to the sine
  double rejection = 0.0;   // dB
  double flatness = 0.0;    // dB peak to peak
  double gainAt09 = 0.0;    // dB
};


Figures Measure(const std::function<std::unique_ptr<BlockResampler>()>& make, const RatePair& rp) {
  Figures fig;
  const double inRate = rp.inRate;
  const double factor = rp.factor() * (1.0 + 10e-6);
  // Output frequencies in cycles per output sample follow the ratio actually applied.
  const double applied = make()->FollowsFactor() ? factor : rp.factor();
  const double outRate = inRate * applied;
  const auto count = std::size_t(inRate * 1.0) / kBlock * kBlock;  // one second of input
  std::size_t b = 0, e = 0;

  {  // THD+N: fit the sine (refining its frequency a little) and weigh what is left.
    auto r = make();
    const std::vector<float> out = Convert(*r, Sine(997.0, inRate, std::pow(10.0, -1.0 / 20.0), count), factor);
    SteadyRange(out.size(), &b, &e);
    const double f0 = 997.0 / outRate;
    auto residual = [&](double f) {
      double rms = 0.0;
      FitTones(out, b, e, {f}, &rms);
      return rms;
    };
    double lo = f0 * (1.0 - 1e-5), hi = f0 * (1.0 + 1e-5);
    for (int it = 0; it < 40; ++it) {  // golden-section search for the best-fitting frequency
      const double m1 = hi - (hi - lo) * 0.618, m2 = lo + (hi - lo) * 0.618;
      if (residual(m1) < residual(m2))
        hi = m2;
      else
        lo = m1;
    }
    double rms = 0.0;
    const double amp = FitTones(out, b, e, {0.5 * (lo + hi)}, &rms)[0];
    fig.thdn = Db(rms / (amp / std::sqrt(2.0)));
  }

  {  // Alias (down) or image (up) rejection.
    const double inNyq = inRate / 2, outNyq = rp.outRate / 2.0;
    const double amplitude = 0.5;
    double tone, unwanted;
    std::vector<double> fit;
    if (factor < 1.0) {
      tone = outNyq + 0.5 * (std::min(inNyq, 2.0 * outNyq) - outNyq);
      unwanted = Fold(tone, outRate);
      fit = {unwanted / outRate};
    } else {
      tone = 0.8 * inNyq;
      unwanted = Fold(inRate - tone, outRate);
      fit = {tone / outRate, unwanted / outRate};
    }
    auto r = make();
    const std::vector<float> out = Convert(*r, Sine(tone, inRate, amplitude, count), factor);
    SteadyRange(out.size(), &b, &e);
    const std::vector<double> amps = FitTones(out, b, e, fit);
    fig.rejection = Db(amplitude / amps.back());
  }

  {  // Passband: gain of tones from 0.05 to 0.9 of the lower Nyquist.
    const double nyq = std::min(inRate, double(rp.outRate)) / 2;
    double lo = 1e9, hi = -1e9;
    const int steps = 18;
    for (int k = 0; k <= steps; ++k) {
      const double f = nyq * (0.05 + 0.85 * double(k) / steps);
      auto r = make();
      const std::vector<float> out = Convert(*r, Sine(f, inRate, 0.5, count / 2 / kBlock * kBlock), factor);
      SteadyRange(out.size(), &b, &e);
      const double g = Db(FitTones(out, b, e, {f / outRate})[0] / 0.5);
      lo = std::min(lo, g);
      hi = std::max(hi, g);
      if (k == steps) fig.gainAt09 = g;
    }
    fig.flatness = hi - lo;
  }
  return fig;
}

void PrintRow(const std::string& who, const RatePair& rp, const Figures& f) {
  std::printf("%-26s %-12s %9.1f %12.1f %12.3f %11.3f\n", who.c_str(), rp.label, f.thdn, f.rejection, f.flatness,
              f.gainAt09);
}

}  // namespace

int main() {
  ippsSelectVariant();
  const float windows[] = {15.0f, 23.0f, 31.0f};
  std::printf("Polyphase kernel quality (blocks of 512, carried time; rejection: alias when converting down,\n"
              "image when converting up; passband 0.05-0.9 of the lower Nyquist)\n\n");
  std::printf("%-26s %-12s %9s %12s %12s %11s\n", "resampler", "factor", "THD+N dB", "reject dB", "pass p-p dB",
              "gain@0.9 dB");
  std::vector<std::vector<Figures>> ours(3);
  for (int w = 0; w < 3; ++w) {
    for (const RatePair& rp : RatePairs()) {
      const Figures f = Measure([&] { return std::unique_ptr<BlockResampler>(new PolyphaseFeeder(windows[w])); }, rp);
      ours[std::size_t(w)].push_back(f);
      PrintRow("velorand w" + std::to_string(int(windows[w])), rp, f);
    }
  }

  // Peers: each at its setting nearest to one of our windows, with the difference to it
  // (THD+N and rejection: positive = ours better; flatness: positive = ours flatter).
  bool anyPeer = false;
  std::vector<std::string> lines;
  for (int w = 0; w < 3; ++w) {
    for (std::size_t pi = 0;; ++pi) {
      std::vector<std::unique_ptr<BlockResampler>> probe = MakePeers(windows[w], RatePairs()[0]);
      if (pi >= probe.size()) break;
      const std::string name = probe[pi]->Name();
      // Window-independent peers are printed once, against window 15.
      bool seen = false;
      for (const auto& l : lines) seen = seen || l == name;
      if (seen) continue;
      lines.push_back(name);
      if (!anyPeer) {
        std::printf("\nPeers at their nearest settings, with the difference to our nearest window (d, dB; positive ="
                    " ours better)\n");
        std::printf("%-26s %-12s %9s %12s %12s %11s   %8s %9s %9s\n", "resampler", "factor", "THD+N dB", "reject dB",
                    "pass p-p dB", "gain@0.9 dB", "vs", "d THD+N", "d reject");
        anyPeer = true;
      }
      for (std::size_t ri = 0; ri < RatePairs().size(); ++ri) {
        const RatePair& rp = RatePairs()[ri];
        const Figures f = Measure([&] { return std::move(MakePeers(windows[w], rp)[pi]); }, rp);
        const Figures& mine = ours[std::size_t(w)][ri];
        std::printf("%-26s %-12s %9.1f %12.1f %12.3f %11.3f   %6s%d %9.1f %9.1f\n", name.c_str(), rp.label, f.thdn,
                    f.rejection, f.flatness, f.gainAt09, "w", int(windows[w]), f.thdn - mine.thdn,
                    mine.rejection - f.rejection);
      }
    }
  }
  if (!anyPeer) std::printf("\nNo peer resamplers were found at configure time.\n");
  return 0;
}
