// Drift simulator: drives AsyncResampler with two virtual devices on a simulated engine
// clock (MmClock.h), deterministically and much faster than real time. Each device has a
// nominal rate, a true clock offset in ppm that may drift, a block geometry, timing
// jitter, occasional bursts and stalls. Used by the driftsim tool (tables for the whole
// grid) and by the engine tests (single cases with assertions).
//
// Not thread-safe: it installs its clock for the duration of a run, so one simulation
// runs at a time per process.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/AsyncResampler.h"

namespace driftsim {

struct Stall {
  double startSec;
  double durationSec;
  // false: no callbacks inside, the backlog follows at the end; true: the device itself
  // pauses (its time is lost: no backlog, every later block comes that much later).
  bool lost = false;
};

struct Device {
  double nominalRate = 48000.0;
  double ppm = 0.0;              // true clock offset at the start
  double ppmDriftPerHour = 0.0;  // change of that offset per simulated hour
  int32_t blockFrames = 512;
  int32_t bufferCount = 8;
  double jitterMs = 0.0;         // each callback lands uniformly within +-jitter of its ideal time
  double burstEverySec = 0.0;    // 0: no bursts; else every so often burstBlocks blocks arrive at once
  int32_t burstBlocks = 4;
  double lateShare = 0.0;        // share of callbacks that land late (bursty device) ...
  double lateMaxMs = 0.0;        // ... by up to this much, uniformly
  std::vector<Stall> stalls;     // no callbacks inside; the backlog follows at the end
  double tickMs = 0.0;           // callbacks land on the next tick of a timer this coarse
  int32_t prefillBlocks = 0;     // the first this many callbacks come at once (an output's prefill)

  double TrueRate(double tSec) const {
    return nominalRate * (1.0 + (ppm + ppmDriftPerHour * tSec / 3600.0) * 1e-6);
  }
};

// One recorded device callback (a timing trace of a real run, see AsyncResampler's
// VELORAND_TIMING_TRACE): the side, its block size and its time.
struct ReplayBlock {
  double tSec;
  bool input;
  int32_t frames;
};

struct Case {
  Device in;
  Device out;
  double minutes = 10.0;
  int32_t channels = 1;
  uint64_t seed = 1;
  // The ratio counts as settled once the one-second mean of its error stays within this
  // many ppm for good.
  double settlePpm = 50.0;
  bool spreadMeters = true;
  int32_t ratioControl = kRatioControlDelay;
  // A second Start of the same resampler at restartSec (when >= 0), with the input device
  // now running at restartInRate (nominal and true rate; its ppm stays).
  double restartSec = -1.0;
  double restartInRate = 0.0;
  // When given, the callbacks come from this recording (sorted by time) instead of the two
  // devices' clocks; the devices then only give the nominal rates and geometry, and the
  // true ratio is the nominal one (both recorded devices ran on one clock).
  const std::vector<ReplayBlock>* replay = nullptr;
  // Optional changes to the configuration Start would build from the two devices.
  std::function<void(ResamplerConfig&)> adjustConfig;
};

// One observation per simulated second (after the run, for tests and plots).
struct Second {
  double ratioErrMaxPpm = 0.0;  // largest |error| of the second
  double ratioErrSumPpm = 0.0;
  double ratioErrSumSqPpm = 0.0;
  int32_t samples = 0;
  double fifoMin = 1.0, fifoMax = 0.0, fifoSum = 0.0;  // level as share of capacity
  double srcDelaySum = 0.0;
  int32_t underruns = 0, overruns = 0;
  double inputRateMin = 1e300;  // smallest InputRate() read during the second
  bool graceOver = false;
};

struct Result {
  double settleSec = -1.0;     // -1: not settled (or only in the last fifth of the run);
                               // the "after settling" figures then cover the second half
  double settle10Sec = -1.0;   // from this second on the 1 s mean error stays within 10 ppm
  double steadyRmsPpm = 0;     // ratio error rms from the first minute on (second half of
                               // runs shorter than two minutes)
  double glitchesPerMinuteAfterFirst = 0;  // underruns + overruns after the first minute
  // Rms of the one-second means of the ratio error from the tenth second on: what a pitch
  // measured per second of the output shows (the Wine bridge tests' figure).
  double secondMeanRms10Ppm = 0;
  double secondMeanRms3Ppm = 0;    // the same from the third second (short takes)
  double ratioErrMeanPpm = 0;  // after settling
  double ratioErrRmsPpm = 0;
  double ratioErrWorstPpm = 0;
  double fifoMin = 0, fifoMean = 0, fifoMax = 0;  // share of capacity, after settling
  double srcDelayMean = 0;     // samples, after settling
  int64_t underrunsAfterGrace = 0, overrunsAfterGrace = 0;
  int64_t underrunsAfterSettle = 0, overrunsAfterSettle = 0;
  double glitchesPerMinute = 0;  // (underruns + overruns) after settling per minute
  double glitchesPerMinuteAfterGrace = 0;
  int32_t factorLimits = 0;      // pushes whose factor the output-room test limited
  int32_t trackLosses = 0;       // resets by the losing-track tests, both sides
  int32_t fifoCapacity = 0;      // samples per channel as sized by Init
  int32_t fifoCapacityEnd = 0;   // ... and at the end (the delay law may grow it)
  int32_t recentres = 0;         // FIFO re-centrings after a gross error (delay law)
  int32_t shifts = 0;            // moves of the FIFO contents of any cause (delay law)
  double minFactor = 0, maxFactor = 0;  // factors actually applied after settling
  int64_t pushes = 0, pulls = 0;
  std::vector<Second> seconds;
};

// Reads the runs of a timing trace file (one per Init); false when it cannot be read.
struct ReplayRun {
  double inRate = 0, outRate = 0;
  int32_t fifo = 0, maxBlock = 0, channels = 0;
  std::vector<ReplayBlock> blocks;
};
bool ReadTrace(const char* path, std::vector<ReplayRun>* runs);
// A case that replays a recorded run: its rates, block sizes and FIFO, for as long as it ran.
Case ReplayCase(const ReplayRun& run);
// The ratio's movement within each second (what 100 ms pieces of a tone show as
// distortion): rms over the seconds from fromSec on of each second's spread, ppm.
double FlutterPpm(const Result& r, size_t fromSec);

// The configuration Start builds from the two devices' geometry and rates.
ResamplerConfig StartConfig(const Device& in, const Device& out, int32_t channels);

// Runs one case. `observer`, when given, is called after every push and pull with the
// simulated time in seconds (tests use it to watch InputRate and the like).
Result Run(const Case& c, const std::function<void(double tSec, AsyncResampler&)>& observer = {});

}  // namespace driftsim
