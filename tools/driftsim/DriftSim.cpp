#include "DriftSim.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/MmClock.h"

namespace driftsim {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Simulated time in nanoseconds. It drives both engine clocks: the fine one directly and the
// millisecond one in whole milliseconds, offset by a second so that a millisecond reading is
// never 0 (0 means "never" to the engine).
std::atomic<int64_t> g_simNs{0};
int64_t SimClock() { return g_simNs.load(std::memory_order_relaxed) + 1000000000; }

struct ClockGuard {
  FineClockFunction previous;
  ClockGuard() : previous(SetFineClock(&SimClock)) {}
  ~ClockGuard() { SetFineClock(previous); }
};

// splitmix64: deterministic and well spread.
struct Random {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Uniform(double lo, double hi) { return lo + (hi - lo) * (static_cast<double>(Next() >> 11) * 0x1p-53); }
};

// Callback times of one virtual device: the ideal completion time of each block follows the
// device's true (drifting) clock; the callback lands with jitter, bursts and stalls on top.
class DeviceClock {
 public:
  DeviceClock(const Device& d, uint64_t seed) : d_(d), random_{seed} {
    // Devices start a little apart, as two streams started one after the other do.
    ideal_ = random_.Uniform(0.0, static_cast<double>(d.blockFrames) / d.nominalRate);
    Schedule();
  }

  double Next() const { return next_; }

  void Advance() {
    if (prefilled_ < d_.prefillBlocks) {
      ++prefilled_;  // the prefill's blocks all come at the first one's time
      return;
    }
    ideal_ += d_.blockFrames / d_.TrueRate(ideal_);
    for (const Stall& s : d_.stalls)
      if (s.lost && ideal_ >= s.startSec && ideal_ < s.startSec + s.durationSec) ideal_ += s.durationSec;
    Schedule();
  }

 private:
  void Schedule() {
    double t = ideal_;
    if (d_.jitterMs > 0.0) t += random_.Uniform(-d_.jitterMs, d_.jitterMs) * 1e-3;
    if (d_.lateShare > 0.0 && random_.Uniform(0.0, 1.0) < d_.lateShare) t += random_.Uniform(0.0, d_.lateMaxMs) * 1e-3;
    if (d_.burstEverySec > 0.0) {
      // The blocks in the last burstBlocks block periods before each burst instant are held
      // back and delivered together at that instant.
      double period = d_.blockFrames / d_.nominalRate;
      double k = std::ceil(ideal_ / d_.burstEverySec);
      double burstAt = k * d_.burstEverySec;
      if (burstAt - ideal_ < d_.burstBlocks * period && burstAt > ideal_) t = std::max(t, burstAt);
    }
    for (const Stall& s : d_.stalls)
      if (!s.lost && t >= s.startSec && t < s.startSec + s.durationSec) t = s.startSec + s.durationSec;
    if (d_.tickMs > 0.0) t = std::ceil(t / (d_.tickMs * 1e-3)) * d_.tickMs * 1e-3 + 30e-6;
    next_ = std::max(t, last_);
    last_ = next_;
  }

  const Device& d_;  // the caller's copy: a restart may change its rate
  Random random_;
  double ideal_ = 0.0;
  double next_ = 0.0;
  double last_ = 0.0;
  int32_t prefilled_ = 0;
};

}  // namespace

bool ReadTrace(const char* path, std::vector<ReplayRun>* runs) {
  std::FILE* f = std::fopen(path, "r");
  if (!f) return false;
  char line[256];
  int64_t first = 0;
  while (std::fgets(line, sizeof line, f)) {
    if (line[0] == '#') {
      ReplayRun run;
      int law = 0, blocks = 0;
      std::sscanf(line, "# in %lf out %lf fifo %d maxBlock %d channels %d law %d blocks %d", &run.inRate, &run.outRate,
                  &run.fifo, &run.maxBlock, &run.channels, &law, &blocks);
      runs->push_back(run);
      first = -1;
      continue;
    }
    int side = 0, frames = 0;
    long long ns = 0;
    double ratio = 0;
    if (runs->empty() || std::sscanf(line, "%d %d %lld %lf", &side, &frames, &ns, &ratio) != 4) continue;
    if (first < 0) first = ns;
    // Starts a second in, as the simulated devices do not start at 0 either.
    runs->back().blocks.push_back({(ns - first) * 1e-9 + 1.0, side == 0, frames});
  }
  std::fclose(f);
  for (ReplayRun& run : *runs)
    std::stable_sort(run.blocks.begin(), run.blocks.end(),
                     [](const ReplayBlock& a, const ReplayBlock& b) { return a.tSec < b.tSec; });
  return true;
}

Case ReplayCase(const ReplayRun& run) {
  Case c;
  c.replay = &run.blocks;
  c.channels = run.channels > 0 ? run.channels : 2;
  c.in.nominalRate = run.inRate;
  c.out.nominalRate = run.outRate;
  for (const ReplayBlock& b : run.blocks) (b.input ? c.in.blockFrames : c.out.blockFrames) = b.frames;
  const int32_t largest = std::max(c.in.blockFrames, c.out.blockFrames);
  c.in.bufferCount = c.out.bufferCount = std::max(1, run.fifo / largest);
  c.minutes = run.blocks.empty() ? 0.0 : run.blocks.back().tSec / 60.0;
  return c;
}

double FlutterPpm(const Result& r, size_t fromSec) {
  double varSum = 0.0;
  int32_t varSeconds = 0;
  for (size_t i = fromSec; i < r.seconds.size(); ++i) {
    const Second& x = r.seconds[i];
    if (x.samples < 2) continue;
    const double mean = x.ratioErrSumPpm / x.samples;
    varSum += std::max(0.0, x.ratioErrSumSqPpm / x.samples - mean * mean);
    ++varSeconds;
  }
  return varSeconds > 0 ? std::sqrt(varSum / varSeconds) : 0.0;
}

ResamplerConfig StartConfig(const Device& in, const Device& out, int32_t channels) {
  ResamplerConfig config;
  const int32_t largest = std::max(in.blockFrames, out.blockFrames);
  config.quality = -1;
  config.trackingBase = 48000;
  config.fifoSamples = std::max({3, in.bufferCount, out.bufferCount}) * largest;
  config.channels = channels;
  config.maxBlock = 2 * largest;
  config.trackLossTest = 1;
  config.variableRatio = 1;
  config.inputRate = in.nominalRate;
  config.outputRate = out.nominalRate;
  config.ratioBand = 0.0;
  config.maxTrackRatio = 1.08;
  config.muteUntilLocked = 0;
  return config;
}

Result Run(const Case& c, const std::function<void(double, AsyncResampler&)>& observer) {
  ClockGuard clock;
  g_simNs.store(0);
  Result result;
  Device inDevice = c.in;
  ResamplerConfig config = StartConfig(inDevice, c.out, c.channels);
  config.ratioControl = c.ratioControl;
  if (c.adjustConfig) c.adjustConfig(config);
  auto resampler = std::make_unique<AsyncResampler>();
  resampler->SetSpreadMeters(c.spreadMeters);
  if (!resampler->Init(config)) return result;
  result.fifoCapacity = resampler->FifoCapacitySamples();

  const int32_t channels = config.channels;
  const int32_t room = std::max({c.in.blockFrames, c.out.blockFrames, config.maxBlock});
  std::vector<std::vector<int32_t>> inData(channels, std::vector<int32_t>(room));
  std::vector<std::vector<int32_t>> outData(channels, std::vector<int32_t>(room));
  std::vector<const int32_t*> inPtr(channels);
  std::vector<int32_t*> outPtr(channels);
  for (int32_t ch = 0; ch < channels; ++ch) {
    inPtr[ch] = inData[ch].data();
    outPtr[ch] = outData[ch].data();
  }
  // A 997 Hz tone at -6 dB, continuous across blocks.
  double step = 2.0 * kPi * 997.0 / inDevice.nominalRate;
  double phase = 0.0;
  bool restarted = false;

  DeviceClock inClock(inDevice, c.seed * 2 + 1);
  DeviceClock outClock(c.out, c.seed * 2 + 2);
  const double endSec = c.minutes * 60.0;
  const int32_t totalSeconds = static_cast<int32_t>(std::ceil(endSec));
  result.seconds.resize(static_cast<size_t>(totalSeconds) + 1);
  int32_t lastUnder = 0, lastOver = 0;
  std::vector<float> factors(result.seconds.size() * 2, 0.0f);  // min, max per second
  for (size_t i = 0; i < result.seconds.size(); ++i) {
    factors[2 * i] = 1e30f;
    factors[2 * i + 1] = 0.0f;
  }

  size_t replayNext = 0;
  for (;;) {
    bool input;
    double t;
    int32_t frames;
    if (c.replay) {
      if (replayNext >= c.replay->size()) break;
      const ReplayBlock& b = (*c.replay)[replayNext++];
      input = b.input;
      t = b.tSec;
      frames = std::min(b.frames, config.maxBlock);
    } else {
      input = inClock.Next() <= outClock.Next();
      t = input ? inClock.Next() : outClock.Next();
      frames = input ? inDevice.blockFrames : c.out.blockFrames;
    }
    if (t >= endSec) break;
    g_simNs.store(static_cast<int64_t>(t * 1e9));
    if (!restarted && c.restartSec >= 0.0 && t >= c.restartSec) {
      // Stop and Start again: the input device now runs at another rate.
      restarted = true;
      inDevice.nominalRate = c.restartInRate;
      step = 2.0 * kPi * 997.0 / inDevice.nominalRate;
      ResamplerConfig again = StartConfig(inDevice, c.out, c.channels);
      again.ratioControl = c.ratioControl;
      if (c.adjustConfig) c.adjustConfig(again);
      resampler->Init(again);
    }
    const size_t sec = static_cast<size_t>(t);
    Second& s = result.seconds[sec];
    if (input) {
      for (int32_t i = 0; i < frames; ++i) {
        int32_t v = static_cast<int32_t>(16384.0 * std::sin(phase));
        phase += step;
        for (int32_t ch = 0; ch < channels; ++ch) inData[ch][i] = v;
      }
      phase = std::fmod(phase, 2.0 * kPi);
      resampler->PushInput(inPtr.data(), frames);
      ++result.pushes;
      float f = static_cast<float>(resampler->LastFactor());
      factors[2 * sec] = std::min(factors[2 * sec], f);
      factors[2 * sec + 1] = std::max(factors[2 * sec + 1], f);
      if (!c.replay) inClock.Advance();
    } else {
      resampler->PullOutput(outPtr.data(), frames);
      ++result.pulls;
      const double trueRatio = c.out.TrueRate(t) / inDevice.TrueRate(t);
      const double err = (resampler->CurrentRatio() / trueRatio - 1.0) * 1e6;
      s.ratioErrMaxPpm = std::max(s.ratioErrMaxPpm, std::fabs(err));
      s.ratioErrSumPpm += err;
      s.ratioErrSumSqPpm += err * err;
      ++s.samples;
      // Share of the capacity in force (the delay law may have grown the FIFO).
      const double level = static_cast<double>(resampler->FifoLevelSamples()) / resampler->FifoCapacitySamples();
      s.fifoMin = std::min(s.fifoMin, level);
      s.fifoMax = std::max(s.fifoMax, level);
      s.fifoSum += level;
      s.srcDelaySum += resampler->SrcDelay();
      if (!c.replay) outClock.Advance();
    }
    // Counters are cleared during the grace period and on resynchronisation: count what
    // they gained since the last look.
    const int32_t under = resampler->UnderrunCount(), over = resampler->OverrunCount();
    s.underruns += under >= lastUnder ? under - lastUnder : under;
    s.overruns += over >= lastOver ? over - lastOver : over;
    lastUnder = under;
    lastOver = over;
    s.inputRateMin = std::min(s.inputRateMin, resampler->InputRate());
    s.graceOver = s.graceOver || (resampler->GraceIn() == 0 && resampler->GraceOut() == 0);
    if (observer) observer(t, *resampler);
  }

  // Settling: the first second after the grace period from which the one-second mean of
  // the ratio error stays within settlePpm for the rest of the run. A run that settles
  // only in its last fifth counts as not settled.
  int32_t graceEnd = -1;
  for (int32_t i = 0; i < totalSeconds; ++i)
    if (result.seconds[i].graceOver) {
      graceEnd = i + 1;
      break;
    }
  int32_t settle = 0;
  for (int32_t i = totalSeconds - 1; i >= 0; --i) {
    const Second& s = result.seconds[i];
    if (s.samples > 0 && std::fabs(s.ratioErrSumPpm / s.samples) > c.settlePpm) {
      settle = i + 1;
      break;
    }
  }
  if (graceEnd < 0 || std::max(settle, graceEnd) > totalSeconds * 4 / 5)
    settle = -1;
  else
    settle = std::max(settle, graceEnd);
  result.settleSec = settle;
  int32_t settle10 = 0;
  for (int32_t i = totalSeconds - 1; i >= 0; --i) {
    const Second& s = result.seconds[i];
    if (s.samples > 0 && std::fabs(s.ratioErrSumPpm / s.samples) > 10.0) {
      settle10 = i + 1;
      break;
    }
  }
  result.settle10Sec = settle10 > totalSeconds * 4 / 5 ? -1.0 : settle10;
  {
    const int32_t steadyFrom = totalSeconds >= 120 ? 60 : totalSeconds / 2;
    double sq = 0;
    int64_t k = 0, glitches = 0;
    for (int32_t i = steadyFrom; i < totalSeconds; ++i) {
      sq += result.seconds[i].ratioErrSumSqPpm;
      k += result.seconds[i].samples;
    }
    for (int32_t i = std::min(60, totalSeconds); i < totalSeconds; ++i)
      glitches += result.seconds[i].underruns + result.seconds[i].overruns;
    result.steadyRmsPpm = k > 0 ? std::sqrt(sq / k) : 0.0;
    auto secondMeanRms = [&](int32_t fromSec) {
      double meanSq = 0;
      int32_t seconds = 0;
      for (int32_t i = fromSec; i < totalSeconds; ++i) {
        const Second& s = result.seconds[i];
        if (s.samples == 0) continue;
        const double mean = s.ratioErrSumPpm / s.samples;
        meanSq += mean * mean;
        ++seconds;
      }
      return seconds > 0 ? std::sqrt(meanSq / seconds) : 0.0;
    };
    result.secondMeanRms10Ppm = secondMeanRms(10);
    result.secondMeanRms3Ppm = secondMeanRms(3);
    if (totalSeconds > 60) result.glitchesPerMinuteAfterFirst = glitches / ((totalSeconds - 60) / 60.0);
  }
  const int32_t from = settle >= 0 ? settle : totalSeconds / 2;
  double sum = 0, sumSq = 0, fifoSum = 0, delaySum = 0;
  int64_t n = 0;
  result.fifoMin = 1.0;
  result.fifoMax = 0.0;
  result.minFactor = 1e30;
  result.maxFactor = 0.0;
  for (int32_t i = 0; i < totalSeconds; ++i) {
    const Second& s = result.seconds[i];
    if (graceEnd >= 0 && i >= graceEnd) {
      result.underrunsAfterGrace += s.underruns;
      result.overrunsAfterGrace += s.overruns;
    }
    if (i < from) continue;
    result.underrunsAfterSettle += s.underruns;
    result.overrunsAfterSettle += s.overruns;
    if (s.samples == 0) continue;
    sum += s.ratioErrSumPpm;
    sumSq += s.ratioErrSumSqPpm;
    n += s.samples;
    result.ratioErrWorstPpm = std::max(result.ratioErrWorstPpm, s.ratioErrMaxPpm);
    result.fifoMin = std::min(result.fifoMin, s.fifoMin);
    result.fifoMax = std::max(result.fifoMax, s.fifoMax);
    fifoSum += s.fifoSum;
    delaySum += s.srcDelaySum;
    if (factors[2 * i + 1] > 0.0f) {
      result.minFactor = std::min<double>(result.minFactor, factors[2 * i]);
      result.maxFactor = std::max<double>(result.maxFactor, factors[2 * i + 1]);
    }
  }
  if (n > 0) {
    result.ratioErrMeanPpm = sum / n;
    result.ratioErrRmsPpm = std::sqrt(sumSq / n);
    result.fifoMean = fifoSum / n;
    result.srcDelayMean = delaySum / n;
  }
  const double minutesAfter = (totalSeconds - from) / 60.0;
  if (minutesAfter > 0)
    result.glitchesPerMinute = (result.underrunsAfterSettle + result.overrunsAfterSettle) / minutesAfter;
  const int32_t graceFrom = graceEnd >= 0 ? graceEnd : totalSeconds;
  if (totalSeconds > graceFrom)
    result.glitchesPerMinuteAfterGrace =
        (result.underrunsAfterGrace + result.overrunsAfterGrace) / ((totalSeconds - graceFrom) / 60.0);
  result.factorLimits = resampler->FactorLimitCount();
  result.fifoCapacityEnd = resampler->FifoCapacitySamples();
  result.recentres = resampler->Recentres();
  result.shifts = resampler->FifoShifts();
  result.trackLosses = resampler->InputTracker().TrackLossCount() + resampler->OutputTracker().TrackLossCount();
  return result;
}

}  // namespace driftsim
