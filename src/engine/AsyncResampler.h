// Carries audio from the input device's thread to the output device's thread while the two
// devices run on independent clocks and nominal rates: each pushed block is converted to
// float, resampled by a factor that follows the measured clock ratio and the FIFO level,
// and queued per channel; each pull reads one playback block from the queue.
//
// Threads: Init on the window thread (takes both side locks). PushInput on the input
// device thread only, PullOutput on the output device thread only; both real-time safe:
// no allocation, no lock other than their own side lock, the FIFO group's mutex and the
// side's tracker lock, no logging unless a log sink is on. The statistics getters may be
// called from any thread at any time and take no side lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "engine/CFifo.h"
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
};

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
  void Resynchronise();
  double SideRate(const RateTracker& tracker, const std::atomic<int32_t>& hold,
                  const std::atomic<uint32_t>& lastTime) const;
  void FreeChannels();

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
  // Copies of configuration figures the statistics getters read while Init may run.
  std::atomic<bool> variableRatio_{false};
  bool spreadMeters_ = true;
  std::mutex inLock_;
  std::mutex outLock_;
};
