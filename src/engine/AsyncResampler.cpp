#include "engine/AsyncResampler.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

#include "engine/LogPrintf.h"
#include "engine/MmClock.h"
#include "polyphase/ResamplePolyphase.h"

namespace {

// Control constants: adjust limits while both sides are (not) long-stable, and the scale
// that turns the free/used quotient into the level ratio.
constexpr double kTightLimit = 0.001;
constexpr double kLooseLimit = 0.1;
constexpr double kLevelScale = 150.0;
// Above this nominal ratio a Start-sized block (half of maxBlock) at the ratio plus the
// 10 percent test margin and 10 percent control headroom no longer fits maxBlock, so the
// output room and the FIFO grow with the ratio.
constexpr double kRatioThatFitsMaxBlock = 1.0 / (0.5 * 1.1 * 1.1);
// Smallest factor whose filter reach (window 31) stays inside the 128-sample history.
constexpr float kMinFactor = 0.125f;

uint32_t NowNonZero() {
  uint32_t now = MmTimeMs();
  return now ? now : 1;
}

// Generator of the per-channel dither: x <- x * 196314165 + 907633515 (mod 2^32).
inline uint32_t Step(uint32_t x) { return x * 196314165u + 907633515u; }

}  // namespace

double RatioLevelAdjust(double f, double limit) {
  double adjust = 1.0;
  if (f + 0.1 < 1.0) adjust = std::pow(f + 0.1, 0.001);
  if (f > 1.0) adjust = std::pow(f, 0.001);
  return std::clamp(adjust, 1.0 - limit, 1.0 + limit);
}

struct AsyncResampler::Channel {
  std::unique_ptr<float[]> inBuf;
  std::unique_ptr<float[]> pushBuf;
  std::unique_ptr<float[]> pullBuf;
  ResamplePolyphaseState* state = nullptr;

  ~Channel() {
    if (state) ippsResamplePolyphaseFree_32f(state);
  }
};

AsyncResampler::AsyncResampler() {
  freeWindow_.Setup(8, 4);
  usedWindow_.Setup(8, 4);
  ratioWindow_.Setup(128, 4);
  levelWindow_.Setup(1000, 10);
  levelSmoothWindow_.Setup(100, 10);
}

AsyncResampler::~AsyncResampler() {
  std::lock_guard<std::mutex> out(outLock_);
  std::lock_guard<std::mutex> in(inLock_);
  initialised_.store(false, std::memory_order_release);
  FreeChannels();
  fifo_.Clear();
}

void AsyncResampler::FreeChannels() {
  for (Channel*& channel : channels_) {
    delete channel;
    channel = nullptr;
  }
}

bool AsyncResampler::Init(const ResamplerConfig& config) {
  std::lock_guard<std::mutex> out(outLock_);
  std::lock_guard<std::mutex> in(inLock_);
  // Buffers exist for at most 16 channels; an unusable configuration is refused whole and
  // leaves the resampler inactive rather than half-configured.
  if (config.channels < 1 || config.channels > kMaxChannels || config.maxBlock < 1 || config.fifoSamples < 1 ||
      config.maxBlock > (1 << 24) || config.fifoSamples > (1 << 26)) {
    LogPrintf("AsyncResampler: configuration refused (channels %i, maxBlock %i, fifo %i)\n", config.channels,
              config.maxBlock, config.fifoSamples);
    initialised_.store(false, std::memory_order_release);
    return false;
  }
  ippsSelectVariant();
  config_ = config;
  inTracker_.Init(config.trackingBase, config.trackLossTest, config.inputRate, config.maxTrackRatio, spreadMeters_);
  outTracker_.Init(config.trackingBase, config.trackLossTest, config.outputRate, config.maxTrackRatio, spreadMeters_);

  double ratio = 1.0;
  target_.store(1.0, std::memory_order_relaxed);
  fill_ = kHistory;
  time_ = kHistory;
  if (config_.inputRate != 0.0 && config_.outputRate != 0.0) {
    ratio = config_.outputRate / config_.inputRate;
    if (!(ratio >= 0.125 && ratio <= 8.0)) {
      ratio = 0.0;
      config_.inputRate = 0.0;
      config_.outputRate = 0.0;
    }
  }
  ratio_.store(ratio, std::memory_order_relaxed);
  // The input side usually starts pushing before the first pull computes a target. A
  // target of 1.0 would meanwhile pull the ratio away from the nominal one (towards 1.0,
  // a 44100 -> 192000 bridge by several percent) and start playback at the wrong pitch,
  // so it starts at the nominal ratio, which is where the first update puts it anyway.
  if (ratio > 0.0) target_.store(ratio, std::memory_order_relaxed);
  lastFactor_.store(ratio, std::memory_order_relaxed);
  variableRatio_.store(config_.variableRatio != 0, std::memory_order_relaxed);

  // Buffer sizes. The input history holds 128 samples behind the time position, at most
  // 130 ahead of it and the newest block; the room for maxBlock + 130 of the original
  // design overflows for blocks below 127 frames, so it is maxBlock + 260 here.
  const int32_t maxBlock = config_.maxBlock;
  const double nominal = ratio > 1.0 ? ratio : 1.0;
  outLimit_ = maxBlock;
  int32_t fifoSamples = config_.fifoSamples;
  if (nominal > kRatioThatFitsMaxBlock) {
    // Upward conversions beyond ~1.65 (44100 -> 96000, 44100 -> 192000): the configured
    // figures would force the factor or overflow pushBuf; room and FIFO follow the ratio.
    outLimit_ = static_cast<int32_t>(std::ceil(0.5 * maxBlock * nominal * 1.25));
    fifoSamples = static_cast<int32_t>(std::ceil(fifoSamples * nominal));
  }
  inBufSize_ = maxBlock + 2 * kHistory + 4;
  pushBufSize_ = 2 * outLimit_ + 4;
  pullBufSize_ = maxBlock;
  const bool resample = config_.variableRatio != 0 || ratio != 1.0;
  const float window = config_.quality == -1 ? 15.0f : config_.quality == 1 ? 31.0f : 23.0f;
  for (int32_t c = 0; c < config_.channels; ++c) {
    Channel* channel = channels_[c];
    if (channel == nullptr) channel = channels_[c] = new Channel;
    channel->inBuf = std::make_unique<float[]>(static_cast<size_t>(inBufSize_));
    channel->pushBuf = std::make_unique<float[]>(static_cast<size_t>(pushBufSize_));
    channel->pullBuf = std::make_unique<float[]>(static_cast<size_t>(pullBufSize_));
    if (channel->state) ippsResamplePolyphaseFree_32f(channel->state);
    channel->state = nullptr;
    if (resample) ippsResamplePolyphaseInitAlloc_32f(&channel->state, window, 128, 0.95f, 8.0f, ippAlgHintFast);
  }

  fifo_.Clear();
  fifo_.Create(config_.channels, fifoSamples * 4, "AsyncResamplerFifo");
  fifo_.ResetAll();
  fifoBytes_.store(fifo_.Size(), std::memory_order_relaxed);
  fifoSamples_.store(fifo_.Size() / 4, std::memory_order_relaxed);
  fifoLevel_.store(0, std::memory_order_relaxed);

  srcDelay_.store(0, std::memory_order_relaxed);
  levelWindow_.Setup(1000, 10);
  levelSmoothWindow_.Setup(100, 10);
  primed_.store(false, std::memory_order_relaxed);
  factorLimits_.store(0, std::memory_order_relaxed);
  overruns_.store(0, std::memory_order_relaxed);
  underruns_.store(0, std::memory_order_relaxed);
  initialised_.store(true, std::memory_order_release);
  return true;
}

ResamplerConfig AsyncResampler::Config() const {
  auto* self = const_cast<AsyncResampler*>(this);
  std::lock_guard<std::mutex> out(self->outLock_);
  std::lock_guard<std::mutex> in(self->inLock_);
  return config_;
}

void AsyncResampler::Resynchronise() {
  overruns_.store(0, std::memory_order_relaxed);
  underruns_.store(0, std::memory_order_relaxed);
  graceIn_.store(kGraceSamples, std::memory_order_relaxed);
  graceOut_.store(kGraceSamples, std::memory_order_relaxed);
}

float AsyncResampler::FactorForPush(int32_t n) {
  double ratio = ratio_.load(std::memory_order_relaxed);
  float factor = static_cast<float>(ratio);  // this push uses the ratio before its update
  if (config_.variableRatio) {
    const bool stable = inTracker_.IsLongStable() && outTracker_.IsLongStable();
    const double gain = stable ? 0.01 : 0.1;
    ratio += (target_.load(std::memory_order_relaxed) - ratio) * gain;
    ratio_.store(ratio, std::memory_order_relaxed);
    if (config_.ratioBand != 0.0) {
      double nominal = config_.outputRate != 0.0 && config_.inputRate != 0.0 ? config_.outputRate / config_.inputRate : 1.0;
      float hi = static_cast<float>((config_.ratioBand + 1.0) * nominal);
      double lo = (1.0 - config_.ratioBand) * nominal;
      if (factor < lo) factor = static_cast<float>(lo);
      if (factor > hi) factor = hi;
    }
  }
  if (!(factor > 0.0f)) return 0.0f;  // rejected rates: nothing to convert
  // Below 1/8 the filter would read further back than the 128 samples of history.
  if (factor < kMinFactor) factor = kMinFactor;
  // Output-room test: a factor that would produce more than the buffers take (with 10
  // percent margin) is logged and limited to the largest that fits. The buffers are sized
  // for the configured ratio, so only a wild excursion of the control gets here.
  if (static_cast<double>(n) * factor * 1.1 > outLimit_) {
    LogPrintf("ASYNCRESAMPLER %x OVERRUN!!!\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
    factor = static_cast<float>(outLimit_ / (static_cast<double>(n) * 1.1) * 0.9999);
    factorLimits_.fetch_add(1, std::memory_order_relaxed);
  }
  return factor;
}

void AsyncResampler::UpdateTarget() {
  const double usedMean = usedWindow_.MeanF();
  const double q = usedMean != 0.0 ? freeMean_.load(std::memory_order_relaxed) / usedMean : 0.0;
  const double scaled = std::min(q * kLevelScale, static_cast<double>(INT32_MAX));
  ratioWindow_.Add(static_cast<int32_t>(scaled));
  const double lim = inTracker_.IsLongStable() && outTracker_.IsLongStable() ? kTightLimit : kLooseLimit;
  const double adjust = RatioLevelAdjust(ratioWindow_.Mean() * 0.01, lim);
  adjust_.store(adjust, std::memory_order_relaxed);
  double smooth1 = smooth1_.load(std::memory_order_relaxed);
  double smooth2 = smooth2_.load(std::memory_order_relaxed);
  smooth1 += (adjust - smooth1) * 0.02;
  smooth2 += (smooth1 - smooth2) * 0.02;
  smooth1_.store(smooth1, std::memory_order_relaxed);
  smooth2_.store(smooth2, std::memory_order_relaxed);
  const double rIn = inTracker_.Rate();
  const double rOut = outTracker_.Rate();
  double target;
  if (rIn != 0.0 && rOut != 0.0) {
    target = rOut / rIn * smooth2;
  } else if (config_.inputRate != 0.0 && config_.outputRate != 0.0) {
    // While a side has no measured rate (after a lost track) hold the nominal ratio
    // rather than steering a 44100 -> 192000 conversion towards 1.0.
    target = config_.outputRate / config_.inputRate * smooth2;
  } else {
    target = smooth2;
  }
  target_.store(target, std::memory_order_relaxed);
}

void AsyncResampler::PushInput(const int32_t* const* in, int32_t count) {
  if (!initialised_.load(std::memory_order_acquire) || in == nullptr || count < 1) return;
  std::lock_guard<std::mutex> guard(inLock_);
  if (!initialised_.load(std::memory_order_relaxed)) return;
  const int32_t channels = config_.channels;
  if (count > config_.maxBlock) {
    overruns_.fetch_add(1, std::memory_order_relaxed);  // refused whole, like a full FIFO
    return;
  }
  lastPushTime_.store(NowNonZero(), std::memory_order_relaxed);
  inTracker_.Update(count);
  if (inTracker_.TakeResync()) Resynchronise();

  int32_t outCount = 0;
  const double ratio = ratio_.load(std::memory_order_relaxed);
  if (!config_.variableRatio && ratio == 1.0) {
    for (int32_t c = 0; c < channels; ++c) {
      uint32_t x = (seedState_ = Step(seedState_)) >> 17;  // fresh seed in 0..32767
      const int32_t* src = in[c];
      float* dst = channels_[c]->pushBuf.get();
      for (int32_t i = 0; i < count; ++i) {
        // Non-negative dither below 2^-14; both terms are exact in double.
        dst[i] = static_cast<float>(src[i] * 0x1p-15 + (x % 32768u) * 0x1p-29);
        x = Step(x);
      }
    }
    outCount = count;
  } else {
    for (int32_t c = 0; c < channels; ++c) {
      uint32_t x = (seedState_ = Step(seedState_)) >> 17;
      const int32_t* src = in[c];
      float* dst = channels_[c]->inBuf.get() + fill_;
      for (int32_t i = 0; i < count; ++i) {
        // Uniform dither in [-2^-16, 2^-16): half a 16-bit step.
        dst[i] = static_cast<float>(src[i] * 0x1p-15 + (static_cast<int32_t>(x % 65536u) - 32768) * 0x1p-31);
        x = Step(x);
      }
    }
    fill_ += count;
    const float factor = FactorForPush(count);
    lastFactor_.store(factor, std::memory_order_relaxed);
    const int32_t length = static_cast<int32_t>((fill_ - kHistory) - time_);
    bool ran = false;
    if (length >= 1 && factor > 0.0f) {
      double t = time_;
      int32_t k = 0;
      for (int32_t c = 0; c < channels; ++c) {
        Channel* channel = channels_[c];
        if (channel->state == nullptr) {
          ran = false;
          break;
        }
        t = time_;
        int32_t produced = 0;
        if (ippsResamplePolyphase_32f(channel->state, channel->inBuf.get(), length, channel->pushBuf.get(), factor,
                                      1.0f, &t, &produced) != ippStsNoErr) {
          ran = false;
          break;
        }
        outCount = produced;
        k = static_cast<int32_t>(t);
        ippsMove_32f(channel->inBuf.get() + (k - kHistory), channel->inBuf.get(), fill_ - (k - kHistory));
        ran = true;
      }
      if (ran) {
        fill_ -= k - kHistory;
        time_ = t - (k - kHistory);
      } else {
        // No filter (creation failed): drop the history rather than let it grow.
        fill_ = kHistory;
        time_ = kHistory;
        outCount = 0;
      }
    }
    // A push too short to advance the run (the first pushes after Init, or tiny blocks
    // at factors below 1) contributes nothing; its samples stay in the history.
  }

  const int32_t bytes = outCount * 4;
  if (fifo_.Free() >= bytes) {
    void* sources[kMaxChannels];
    for (int32_t c = 0; c < channels; ++c) sources[c] = channels_[c]->pushBuf.get();
    if (bytes > 0) fifo_.PutAll(sources, bytes, false, false);
    freeWindow_.Add(fifo_.Free() / 4);
    freeMean_.store(freeWindow_.Mean(), std::memory_order_relaxed);
  } else {
    overruns_.fetch_add(1, std::memory_order_relaxed);
  }

  if (graceIn_.load(std::memory_order_relaxed) > 0 || graceOut_.load(std::memory_order_relaxed) > 0) {
    graceIn_.store(std::max(0, graceIn_.load(std::memory_order_relaxed) - count), std::memory_order_relaxed);
    overruns_.store(0, std::memory_order_relaxed);
    underruns_.store(0, std::memory_order_relaxed);
  }
  if (int32_t hold = rateHoldIn_.load(std::memory_order_relaxed); hold != 0)
    rateHoldIn_.store(std::max(0, hold - count), std::memory_order_relaxed);
}

void AsyncResampler::PullOutput(int32_t* const* out, int32_t count) {
  if (!initialised_.load(std::memory_order_acquire) || out == nullptr || count < 1) return;
  std::lock_guard<std::mutex> guard(outLock_);
  if (!initialised_.load(std::memory_order_relaxed)) return;
  const int32_t channels = config_.channels;
  if (count > config_.maxBlock) {
    for (int32_t c = 0; c < channels; ++c)
      if (out[c]) std::memset(out[c], 0, sizeof(int32_t) * static_cast<size_t>(count));
    underruns_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  lastPullTime_.store(NowNonZero(), std::memory_order_relaxed);
  outTracker_.Update(count);
  if (outTracker_.TakeResync()) Resynchronise();

  void* buffers[kMaxChannels];
  for (int32_t c = 0; c < channels; ++c) buffers[c] = channels_[c]->pullBuf.get();
  const int32_t bytes = count * 4;
  const int32_t sizeBytes = fifoBytes_.load(std::memory_order_relaxed);
  int32_t used = fifo_.Used();
  if (!primed_.load(std::memory_order_relaxed) && used > 0.5 * sizeBytes) primed_.store(true, std::memory_order_relaxed);
  if (primed_.load(std::memory_order_relaxed) && used >= bytes) {
    fifo_.GetAll(buffers, bytes, false, false);
    used = fifo_.Used();
    usedWindow_.Add(used / 4);
  } else {
    fifo_.ZeroAll(buffers, bytes);
    underruns_.fetch_add(1, std::memory_order_relaxed);
  }
  fifoLevel_.store(used / 4, std::memory_order_relaxed);
  levelWindow_.Add(used / 4);
  levelSmoothWindow_.Add(levelWindow_.Mean());
  srcDelay_.store(std::max(0, levelSmoothWindow_.Mean() - count), std::memory_order_relaxed);

  if (config_.muteUntilLocked && config_.variableRatio &&
      (!inTracker_.IsShortStable() || !outTracker_.IsShortStable())) {
    for (int32_t c = 0; c < channels; ++c) std::memset(buffers[c], 0, static_cast<size_t>(bytes));
  }

  for (int32_t c = 0; c < channels; ++c) {
    const float* src = channels_[c]->pullBuf.get();
    int32_t* dst = out[c];
    if (dst == nullptr) continue;
    for (int32_t i = 0; i < count; ++i) {
      double v = src[i] * 32767.0;
      // Out-of-range values (a NaN included) must not reach the integer conversion.
      if (!(v > -2147483648.0 && v < 2147483647.0)) v = v > 0.0 ? 2147483647.0 : v < 0.0 ? -2147483648.0 : 0.0;
      dst[i] = static_cast<int32_t>(v);
    }
  }

  if (config_.variableRatio || ratio_.load(std::memory_order_relaxed) != 1.0) UpdateTarget();

  if (graceIn_.load(std::memory_order_relaxed) > 0 || graceOut_.load(std::memory_order_relaxed) > 0) {
    graceOut_.store(std::max(0, graceOut_.load(std::memory_order_relaxed) - count), std::memory_order_relaxed);
    overruns_.store(0, std::memory_order_relaxed);
    underruns_.store(0, std::memory_order_relaxed);
  }
  if (int32_t hold = rateHoldOut_.load(std::memory_order_relaxed); hold != 0)
    rateHoldOut_.store(std::max(0, hold - count), std::memory_order_relaxed);
}

double AsyncResampler::SideRate(const RateTracker& tracker, const std::atomic<int32_t>& hold,
                                const std::atomic<uint32_t>& lastTime) const {
  if (hold.load(std::memory_order_relaxed) != 0) return 0.0;
  uint32_t last = lastTime.load(std::memory_order_relaxed);
  if (last != 0 && static_cast<uint32_t>(MmTimeMs() - last) > 500u) return 0.0;
  return tracker.Rate();
}

double AsyncResampler::InputRate() const { return SideRate(inTracker_, rateHoldIn_, lastPushTime_); }
double AsyncResampler::OutputRate() const { return SideRate(outTracker_, rateHoldOut_, lastPullTime_); }

int32_t AsyncResampler::SrcDelay() const {
  int32_t delay = srcDelay_.load(std::memory_order_relaxed);
  if (delay != 0) return delay;
  return static_cast<int32_t>((static_cast<int64_t>(fifoBytes_.load(std::memory_order_relaxed)) * 75 / 100) / 4);
}

void AsyncResampler::CopyBlockHistory(bool outputSide, BlockTimingHistory* dst) {
  (outputSide ? outTracker_ : inTracker_).CopyHistory(dst);
}
