// Carries audio from the input device's thread to the output device's thread while the two
// devices run on independent clocks and nominal rates: each pushed block is converted to
// float, resampled by a factor that follows the measured clock ratio, and queued per
// channel; each pull reads one playback block from the queue. The factor is steered by the
// delay through the resampler (delay-locked control, the default) or, for comparison, by
// the FIFO level (the original level law).
//
// Threads: Init on the window thread (takes both side locks). PushInput on the input
// device thread only, PullOutput on the output device thread only; both real-time safe:
// no allocation, no lock other than their own side lock, the FIFO group's mutex and the
// side's tracker lock, no logging unless a log sink is on. The statistics getters may be
// called from any thread at any time and take no side lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/CFifo.h"
#include "engine/ClockDll.h"
#include "engine/RateTracker.h"
#include "engine/StatWindow.h"


// Configuration, filled by Start and copied whole by Init.
struct ResamplerConfig {
  int32_t quality = -1;          // filter window: -1 -> 15, 1 -> 31, otherwise 23
  int32_t trackingBase = 48000;  // samples the rate meters are built on
  int32_t fifoSamples = 8192;    // FIFO capacity per channel, samples
  int32_t channels = 2;          // 1..AsyncResampler::kMaxChannels
  int32_t maxBlock = 1024;       // largest block per push or pull, samples per channel
  int32_t trackLossTest = 1;     // enables the losing-track test
  int32_t variableRatio = 0;     // ratio tracking and control; resampling always active
  double inputRate = 0.0;        // nominal input rate, Hz, 0 = not given
  double outputRate = 0.0;       // nominal output rate, Hz, 0 = not given
  double ratioBand = 0.0;        // non-zero: factor held within (1 +- band) x nominal
  double maxTrackRatio = 1.08;   // bound of the losing-track test
  uint8_t muteUntilLocked = 0;   // silence while either side's short rate is unsettled
  // Law of the ratio control: kRatioControlDelay (0, default) holds the delay through the
  // resampler with per-side clock loops; kRatioControlLevel (1) steers by the FIFO level,
  // the original law, kept for comparison.
  int32_t ratioControl = 0;
};

constexpr int32_t kRatioControlDelay = 0;
constexpr int32_t kRatioControlLevel = 1;

// The level correction of the ratio control: f is the level ratio (integer mean of the
// level ratios x 0.01); neutral while f lies in [0.9, 1.0] (FIFO about 60 to 62.5 percent
// full), below 1 when the FIFO holds too much, above 1 when too little; clamped to
// 1 +- limit.
double RatioLevelAdjust(double f, double limit);

class AsyncResampler {
 public:
  static constexpr int32_t kMaxChannels = 16;
  static constexpr int32_t kHistory = 128;
  static constexpr int32_t kGraceSamples = 200000;
  static constexpr int32_t kRateHoldSamples = 10000;
  // Delay control: the ratio stays within this share of the measured rate ratio.
  static constexpr double kRatioBound = 0.002;
  // A FIFO that glitches this often grows by one block, up to kMaxFifoGrowth x its size.
  static constexpr int32_t kGrowGlitches = 3;
  static constexpr double kGrowWindowSec = 10.0;
  static constexpr int32_t kMaxFifoGrowth = 4;
  // The delay loop's bandwidth starts here and narrows as 1 / (1 + age / kLoopNarrowSec)
  // to kLoopFloorShare times the clock loops' jitter floor. Their product sets how much of
  // its age the loop remembers once narrowed (about 0.4 s x Hz); the start is no wider
  // because callbacks on a coarse tick leave milliseconds of error in the delay for the
  // first seconds, which a wider loop turns into hundreds of ppm of pitch.
  static constexpr double kLoopStartHz = 0.3;
  static constexpr double kLoopNarrowSec = 1.33;
  static constexpr double kLoopFloorShare = 1.0;
  // For this long after the loop starts, an offset of the delay beyond a block is taken by
  // the FIFO rather than the ratio.
  static constexpr double kEarlyRecentreSec = 5.0;
  // A loop at its bound for this long re-centres the FIFO instead.
  static constexpr double kBoundRecentreSec = 0.5;
  // With nominal rates the ratio's reference stays at their ratio this long before the
  // measured clocks may drag it (a stream's first seconds deliver unevenly).
  static constexpr double kReferenceHoldSec = 10.0;
  static constexpr double kLoopMinHz = 0.0;
  // The clock loops and the delay control take at most one reading per this much of a
  // side's audio: shorter blocks are gathered into one reading (BlockGather).
  static constexpr double kControlMinSec = 0.010;
  // The loop starts once both clock lines are this old: their periods are held at the
  // nominal rates for the first ClockDll::kPeriodHoldSec, while the streams settle in, and
  // a loop started on a delay that is still moving integrates the streams' start-up. Until
  // then the ratio stays at the rates' ratio.
  static constexpr double kLoopAfterLineSec = 4.0;
  // Share of the usable FIFO window, each side of its middle, within which the delay at the
  // loop's first start is kept as the set point rather than moved.
  static constexpr double kSetPointShare = 0.15;
  // Before the loop starts, a delay further than this share of the window from its middle
  // is moved back there.
  static constexpr double kStartEdgeShare = 0.35;
  // The loop's proportional term turns the noise left in the measured delay into pitch:
  // sigma seconds of it at bandwidth B make up to 4 pi B sigma of ratio noise (less what
  // the smoother above the loop takes out). The bandwidth is capped so that this bound
  // stays within kPitchNoise; sigma is the spread of the delay, smoothed over
  // kNoiseSmoothSec as the ratio is, about a straight line over the last kNoiseSec (see
  // NoteDelayNoise), measured from the stream's start on. The bound is pessimistic, hence
  // the budget of 200 ppm. Clean clocks and white jitter leave the loop as it was;
  // Wine-like callbacks, with milliseconds of wander and steps in the delay, bring it down
  // to kNoiseCapMinHz, where the pitch stays put and the loop still takes a real clock
  // offset within a few minutes.
  static constexpr double kPitchNoise = 200e-6;
  static constexpr double kNoiseSec = 6.0;
  static constexpr double kNoiseMinSec = 2.0;
  static constexpr double kNoiseSmoothSec = 1.0;
  static constexpr double kNoiseCapMinHz = 0.002;

  AsyncResampler();
  ~AsyncResampler();
  AsyncResampler(const AsyncResampler&) = delete;
  AsyncResampler& operator=(const AsyncResampler&) = delete;

  // (Re)configures; window thread, before the devices start. Allocates. Returns false
  // and leaves the resampler inactive (push and pull do nothing) when the configuration
  // is unusable: channels outside 1..16, maxBlock or fifoSamples below 1.
  bool Init(const ResamplerConfig& config);

  // One captured block: channels[c] holds count samples of channel c on the 16-bit scale.
  // count must be within 1..maxBlock; other counts are refused (nothing happens).
  void PushInput(const int32_t* const* channels, int32_t count);
  // Fills count samples of every channel buffer on the 16-bit scale (not clamped).
  // count above maxBlock: the buffers get silence and an underrun is counted.
  void PullOutput(int32_t* const* channels, int32_t count);

  // ---- Statistics: any thread, no side lock -------------------------------------
  int32_t UnderrunCount() const { return underruns_.load(std::memory_order_relaxed); }
  int32_t OverrunCount() const { return overruns_.load(std::memory_order_relaxed); }
  double CurrentRatio() const { return ratio_.load(std::memory_order_relaxed); }
  double InputRate() const;
  double OutputRate() const;
  int32_t SrcDelay() const;
  double InputJitter() const { return inTracker_.Jitter(); }
  double OutputJitter() const { return outTracker_.Jitter(); }
  // false: input side, true: output side. Takes that side's tracker lock briefly.
  void CopyBlockHistory(bool outputSide, BlockTimingHistory* dst);

  // ---- Diagnostics for tests, the simulator and the benchmark ---------------------
  bool IsInitialised() const { return initialised_.load(std::memory_order_acquire); }
  double Target() const { return target_.load(std::memory_order_relaxed); }
  double LastFactor() const { return lastFactor_.load(std::memory_order_relaxed); }
  // Delay control (0 under the level law): the delay through the resampler and its set
  // point in output samples, the loop's bandwidth, FIFO growths and re-centrings since Init.
  double ControlDelaySamples() const { return controlDelay_.load(std::memory_order_relaxed); }
  double SetPointSamples() const { return setPoint_.load(std::memory_order_relaxed); }
  double LoopBandwidthHz() const { return loopBandwidth_.load(std::memory_order_relaxed); }
  double MeasuredRatio() const { return measuredRatio_.load(std::memory_order_relaxed); }
  int32_t FifoGrowths() const { return fifoGrowths_.load(std::memory_order_relaxed); }
  int32_t Recentres() const { return recentres_.load(std::memory_order_relaxed); }
  // Every move of the FIFO's contents to the set point, each a jump in the output: the
  // re-centrings above, and the steps of a device's time and the offsets of a young loop
  // that the FIFO took.
  int32_t FifoShifts() const { return shifts_.load(std::memory_order_relaxed); }
  // Pushes whose factor the output-room test had to limit since Init.
  int32_t FactorLimitCount() const { return factorLimits_.load(std::memory_order_relaxed); }
  // FIFO samples per channel: usable capacity (as sized by Init) and current level.
  int32_t FifoCapacitySamples() const { return fifoSamples_.load(std::memory_order_relaxed); }
  int32_t FifoLevelSamples() const { return fifoLevel_.load(std::memory_order_relaxed); }
  // Sizes Init chose (samples per channel).
  int32_t InputBufferSamples() const { return inBufSize_; }
  int32_t PushBufferSamples() const { return pushBufSize_; }
  int32_t OutputLimitSamples() const { return outLimit_; }
  bool Primed() const { return primed_.load(std::memory_order_relaxed); }
  // Input samples held for the kernel (history included); read only while no push runs.
  int32_t HistoryFill() const { return fill_; }
  int32_t GraceIn() const { return graceIn_.load(std::memory_order_relaxed); }
  int32_t GraceOut() const { return graceOut_.load(std::memory_order_relaxed); }
  const RateTracker& InputTracker() const { return inTracker_; }
  const RateTracker& OutputTracker() const { return outTracker_; }
  ResamplerConfig Config() const;  // takes both side locks

  // Meter spreading (on by default) takes effect at the next Init; off reproduces meters
  // that all complete on the same block (for comparison in the simulator).
  void SetSpreadMeters(bool on) { spreadMeters_ = on; }

  // Ratio control, exposed for tests: the output-side target update and the input-side
  // factor of a push of n samples (which also advances `ratio`). Call under no lock only
  // when no device thread runs.
  float FactorForPush(int32_t n);
  void UpdateTarget();

 private:
  struct Channel;
  // The output side's clock as the input side reads it: frames taken from the FIFO,
  // silence played after priming, the smoothed time and period of the latest pull.
  struct OutputClock {
    int64_t got = 0;
    int64_t silence = 0;
    double timeNs = 0.0;
    double ageNs = 0.0;    // of the output's clock line
    double periodNs = 0.0;
    double jitterNs = 0.0;
    int32_t block = 0;
    int32_t restarts = 0;  // times the output's clock loop restarted on a lost clock
    int32_t steps = 0;     // steps of the output's time its clock loop followed
    bool offLine = false;  // the latest pulls are off the output's line
    bool valid = false;
  };
  void Resynchronise();
  void ResetControl();
  double DelayRatioForPush(int32_t n, int64_t spanFrames);
  void PublishOutputClock();
  bool ReadOutputClock(OutputClock* clock) const;
  void Recentre(double excessSamples, bool afterError);
  void NoteGlitches(double nowNs, double blockOut, int32_t outBlock);
  void NoteDelayNoise(double delaySec, double nowNs);
  double NoiseCapHz(double sigmaSec) const;
  void PublishOutputBlock(int32_t block);
  double SideRate(const RateTracker& tracker, const std::atomic<int32_t>& hold,
                  const std::atomic<uint32_t>& lastTime) const;
  void FreeChannels();
  // Timing trace (off unless VELORAND_TIMING_TRACE names a file when Init runs): every push
  // and pull appends its side, block size and fine-clock time to a buffer made by Init;
  // the next Init or the destructor writes it out. For replaying real device timing in
  // the drift simulator.
  struct TraceRecord {
    int64_t timeNs;
    int32_t frames;
    int32_t side;  // 0 push, 1 pull
    double ratio;  // in force after the block
  };
  void TraceBlock(int32_t side, int32_t frames, int64_t timeNs);
  void FlushTrace();

  ResamplerConfig config_;
  RateTracker inTracker_;
  RateTracker outTracker_;
  Channel* channels_[kMaxChannels] = {};
  int32_t inBufSize_ = 0;
  int32_t pushBufSize_ = 0;
  int32_t pullBufSize_ = 0;
  int32_t outLimit_ = 0;  // largest output of one push the buffers take with margin
  int32_t fill_ = 0;
  double time_ = 0.0;
  uint32_t seedState_ = 1;  // generator of the per-push dither seeds (input side)
  std::atomic<double> ratio_{1.0};
  std::atomic<double> target_{1.0};
  std::atomic<double> adjust_{1.0};
  std::atomic<double> smooth1_{1.0};
  std::atomic<double> smooth2_{1.0};
  std::atomic<double> lastFactor_{1.0};
  CFifoGroup fifo_;
  StatWindow freeWindow_;  // written by push; its mean is published in freeMean_
  std::atomic<int32_t> freeMean_{0};
  StatWindow usedWindow_;
  StatWindow ratioWindow_;
  StatWindow levelWindow_;
  StatWindow levelSmoothWindow_;
  std::atomic<int32_t> underruns_{0};
  std::atomic<int32_t> overruns_{0};
  std::atomic<int32_t> srcDelay_{0};
  std::atomic<int32_t> graceIn_{kGraceSamples};
  std::atomic<int32_t> graceOut_{kGraceSamples};
  std::atomic<int32_t> rateHoldIn_{kRateHoldSamples};
  std::atomic<int32_t> rateHoldOut_{kRateHoldSamples};
  std::atomic<uint32_t> lastPushTime_{0};
  std::atomic<uint32_t> lastPullTime_{0};
  std::atomic<bool> primed_{false};
  std::atomic<bool> initialised_{false};
  std::atomic<int32_t> fifoBytes_{0};
  std::atomic<int32_t> fifoSamples_{0};
  std::atomic<int32_t> fifoLevel_{0};
  std::atomic<int32_t> factorLimits_{0};
  // Delay control. Input side (under inLock_): its clock loop, the loop filter and the
  // accounting of what went into the FIFO.
  bool delayLaw_ = true;
  ClockDll inDll_;
  BlockGather inGather_;
  bool controlDue_ = false;  // this push completed a reading of the input's clock
  JitterScale floorScale_;  // the delay loop's floor, from both sides' jitter
  DelayLoopFilter loop_;
  double setOffset_ = 0.0;  // set point less the middle of the usable window
  bool fifoGrew_ = false;
  int64_t inFrames_ = 0;
  int64_t putSamples_ = 0;       // samples stored into the FIFO
  int64_t droppedSamples_ = 0;   // samples of pushes refused by a full FIFO
  int64_t dropBase_ = 0, silenceBase_ = 0;  // xrun totals at the last alignment
  double loopStartNs_ = 0.0;     // smoothed input time the loop (re)started at
  double lastControlNs_ = 0.0;
  double appliedRatio_ = 0.0;
  double referenceRatio_ = 0.0;   // the clocks' ratio when the loop (re)started
  double lastRecentreNs_ = 0.0;
  double boundSinceNs_ = -1.0;   // the loop's output has sat at its bound since
  // The delay's noise: a line fitted to it (sums of weights, times back from the newest
  // block in seconds, and delays less origin in seconds) and the spread about the line.
  struct LineFit {
    double s0 = 0.0, st = 0.0, stt = 0.0, sx = 0.0, stx = 0.0, sxx = 0.0;
    double origin = 0.0, span = 0.0;
  };
  LineFit fit_;
  double noiseVar_ = 0.0, lastNoiseNs_ = 0.0, noiseSmooth_ = 0.0;
  // Output samples the ratio's departures from steerReference_ have added to the delay.
  double steeredSamples_ = 0.0, steerReference_ = 1.0;
  int64_t movedSamples_ = 0;  // net samples the FIFO's re-centrings added
  bool noiseSeen_ = false;
  double grossSinceNs_ = -1.0;   // first push of a run with the delay outside the FIFO
  bool loopRunning_ = false;
  bool loopStarted_ = false;     // the loop ran since Init
  bool recentrePending_ = false;
  int32_t glitchesSeen_ = 0;
  double glitchTimes_[kGrowGlitches] = {};
  int32_t glitchNext_ = 0, glitchHeld_ = 0;
  int32_t outRestartsSeen_ = 0;
  int32_t outStepsSeen_ = 0;
  int32_t inStepsSeen_ = 0;
  bool stepPending_ = false;     // a device's time stepped (or the FIFO grew): re-centre, loop on
  bool overrunning_ = false;     // the last push was refused
  int32_t baseCapacity_ = 0;     // FIFO samples as configured; the FIFO may grow from it
  int32_t maxCapacity_ = 0;
  int32_t growStep_ = 0;
  // Output side (under outLock_): its clock loop and counters, published by a sequence
  // lock of atomics (odd while being written) so the input side reads one consistent set.
  ClockDll outDll_;
  BlockGather outGather_;
  int64_t outFrames_ = 0;
  int64_t gotSamples_ = 0;
  int64_t silenceSamples_ = 0;
  bool underrunning_ = false;    // the last pull played silence
  std::atomic<uint32_t> clockSeq_{0};
  std::atomic<int64_t> pubGot_{0};
  std::atomic<int64_t> pubSilence_{0};
  std::atomic<double> pubTimeNs_{0.0};
  std::atomic<double> pubAgeNs_{0.0};
  std::atomic<double> pubPeriodNs_{0.0};
  std::atomic<double> pubJitterNs_{0.0};
  std::atomic<int32_t> pubBlock_{0};
  std::atomic<int32_t> pubRestarts_{0};
  std::atomic<int32_t> pubSteps_{0};
  std::atomic<bool> pubOffLine_{false};
  std::atomic<bool> pubValid_{false};
  // Both sides count glitches (after priming; a run of xruns counts once) here; the input
  // side decides on growth.
  std::atomic<int32_t> glitches_{0};
  std::atomic<int32_t> capacitySamples_{0};  // usable FIFO now
  std::atomic<double> controlDelay_{0.0};
  std::atomic<double> setPoint_{0.0};
  std::atomic<double> loopBandwidth_{0.0};
  std::atomic<double> measuredRatio_{0.0};
  std::atomic<int32_t> fifoGrowths_{0};
  std::atomic<int32_t> recentres_{0};
  std::atomic<int32_t> shifts_{0};
  // Copies of configuration figures the statistics getters read while Init may run.
  std::atomic<bool> variableRatio_{false};
  bool spreadMeters_ = true;
  std::unique_ptr<TraceRecord[]> trace_;
  int32_t traceCapacity_ = 0;
  std::atomic<int32_t> traceNext_{0};
  std::string tracePath_;
  std::mutex inLock_;
  std::mutex outLock_;
};
