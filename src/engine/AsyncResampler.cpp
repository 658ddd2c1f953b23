#include "engine/AsyncResampler.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/LogPrintf.h"
#include "engine/MmClock.h"
#include "engine/SampleConversion.h"
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
// Smoother of the delay control's ratio: its pole sits this many times above the loop's
// bandwidth, its time constant at most kSmoothMaxSec. Four times leaves the loop about 14
// degrees of lag; what it buys is a ratio that hardly moves within a second, since pitch
// movement within 100 ms pieces of a tone reads as distortion.
constexpr double kTwoPiLoop = 6.283185307179586;
constexpr double kSmoothAbove = 4.0;
constexpr double kSmoothMaxSec = 2.0;

uint32_t NowNonZero() {
  uint32_t now = MmTimeMs();
  return now ? now : 1;
}

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
  FlushTrace();
}

void AsyncResampler::TraceBlock(int32_t side, int32_t frames, int64_t timeNs) {
  const int32_t i = traceNext_.fetch_add(1, std::memory_order_relaxed);
  if (i >= traceCapacity_) return;
  trace_[i] = {timeNs, frames, side, ratio_.load(std::memory_order_relaxed)};
}

void AsyncResampler::FlushTrace() {
  // Window thread, with both side locks held (or in the destructor).
  if (trace_ && !tracePath_.empty()) {
    if (std::FILE* f = std::fopen(tracePath_.c_str(), "a")) {
      const int32_t n = std::min(traceNext_.load(std::memory_order_relaxed), traceCapacity_);
      std::fprintf(f, "# in %.0f out %.0f fifo %d maxBlock %d channels %d law %d blocks %d\n", config_.inputRate,
                   config_.outputRate, config_.fifoSamples, config_.maxBlock, config_.channels, config_.ratioControl, n);
      for (int32_t i = 0; i < n; ++i)
        std::fprintf(f, "%d %d %lld %.9f\n", trace_[i].side, trace_[i].frames, static_cast<long long>(trace_[i].timeNs),
                     trace_[i].ratio);
      std::fclose(f);
    }
  }
  trace_.reset();
  traceCapacity_ = 0;
  traceNext_.store(0, std::memory_order_relaxed);
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
      config.maxBlock > (1 << 24) || config.fifoSamples > (1 << 26) / kMaxFifoGrowth) {
    LogPrintf("AsyncResampler: configuration refused (channels %i, maxBlock %i, fifo %i)\n", config.channels,
              config.maxBlock, config.fifoSamples);
    initialised_.store(false, std::memory_order_release);
    return false;
  }
  ippsSelectVariant();
  FlushTrace();
  if (const char* path = std::getenv("VELORAND_TIMING_TRACE"); path != nullptr && *path != '\0') {
    tracePath_ = path;
    traceCapacity_ = 1 << 17;  // about ten minutes of 512-frame blocks on both sides
    trace_ = std::make_unique<TraceRecord[]>(static_cast<size_t>(traceCapacity_));
  }
  config_ = config;
  // Every estimate starts afresh: nothing measured in an earlier session (at another rate,
  // perhaps) may steer this one.
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
  delayLaw_ = config_.variableRatio != 0 && config_.ratioControl != kRatioControlLevel;
  adjust_.store(1.0, std::memory_order_relaxed);
  smooth1_.store(1.0, std::memory_order_relaxed);
  smooth2_.store(1.0, std::memory_order_relaxed);
  freeWindow_.Reset();
  usedWindow_.Reset();
  ratioWindow_.Reset();
  freeMean_.store(0, std::memory_order_relaxed);

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
  // A fixed ratio is never limited by an output-room test, so pushBuf takes whatever a run
  // over the whole input history can produce at it.
  if (!config_.variableRatio)
    pushBufSize_ = std::max(pushBufSize_, static_cast<int32_t>(std::ceil(inBufSize_ * nominal)) + 8);
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

  // Under the delay control the FIFO may grow (up to four times) when it proves too small
  // for the jitter; the storage for that is made here, since the device threads must not
  // allocate, and only the usable part counts as capacity.
  baseCapacity_ = fifoSamples;
  maxCapacity_ = delayLaw_ ? fifoSamples * kMaxFifoGrowth : fifoSamples;
  fifo_.Clear();
  fifo_.Create(config_.channels, maxCapacity_ * 4, "AsyncResamplerFifo");
  fifo_.ResetAll();
  const int32_t usable = std::min(fifoSamples, fifo_.Size() / 4);
  capacitySamples_.store(usable, std::memory_order_relaxed);
  fifoBytes_.store(usable * 4, std::memory_order_relaxed);
  fifoSamples_.store(usable, std::memory_order_relaxed);
  fifoLevel_.store(0, std::memory_order_relaxed);

  srcDelay_.store(0, std::memory_order_relaxed);
  levelWindow_.Setup(1000, 10);
  levelSmoothWindow_.Setup(100, 10);
  primed_.store(false, std::memory_order_relaxed);
  factorLimits_.store(0, std::memory_order_relaxed);
  overruns_.store(0, std::memory_order_relaxed);
  underruns_.store(0, std::memory_order_relaxed);
  graceIn_.store(kGraceSamples, std::memory_order_relaxed);
  graceOut_.store(kGraceSamples, std::memory_order_relaxed);
  rateHoldIn_.store(kRateHoldSamples, std::memory_order_relaxed);
  rateHoldOut_.store(kRateHoldSamples, std::memory_order_relaxed);
  lastPushTime_.store(0, std::memory_order_relaxed);
  lastPullTime_.store(0, std::memory_order_relaxed);
  ResetControl();
  initialised_.store(true, std::memory_order_release);
  return true;
}

void AsyncResampler::ResetControl() {
  inDll_.Reset(config_.inputRate);
  outDll_.Reset(config_.outputRate);
  // Rates not given: 48 kHz sets the grain (it only decides how many blocks a reading takes).
  auto grain = [](double rate) { return static_cast<int64_t>(std::ceil(kControlMinSec * (rate > 0.0 ? rate : 48000.0))); };
  inGather_.Reset(grain(config_.inputRate));
  outGather_.Reset(grain(config_.outputRate));
  controlDue_ = false;
  loop_.Reset();
  inFrames_ = outFrames_ = 0;
  overrunning_ = underrunning_ = false;
  putSamples_ = droppedSamples_ = 0;
  gotSamples_ = silenceSamples_ = 0;
  dropBase_ = silenceBase_ = 0;
  loopStartNs_ = lastControlNs_ = lastRecentreNs_ = 0.0;
  grossSinceNs_ = -1.0;
  loopRunning_ = false;
  loopStarted_ = false;
  fit_ = LineFit{};
  noiseVar_ = lastNoiseNs_ = 0.0;
  steeredSamples_ = 0.0;
  movedSamples_ = 0;
  steerReference_ = config_.inputRate > 0.0 && config_.outputRate > 0.0 ? config_.outputRate / config_.inputRate : 1.0;
  noiseSeen_ = false;
  recentrePending_ = false;
  glitchesSeen_ = glitchNext_ = glitchHeld_ = 0;
  outRestartsSeen_ = outStepsSeen_ = inStepsSeen_ = 0;
  stepPending_ = false;
  setOffset_ = 0.0;
  fifoGrew_ = false;
  glitches_.store(0, std::memory_order_relaxed);
  clockSeq_.store(0, std::memory_order_relaxed);
  pubGot_.store(0, std::memory_order_relaxed);
  pubSilence_.store(0, std::memory_order_relaxed);
  pubTimeNs_.store(0.0, std::memory_order_relaxed);
  pubAgeNs_.store(0.0, std::memory_order_relaxed);
  pubPeriodNs_.store(0.0, std::memory_order_relaxed);
  pubJitterNs_.store(0.0, std::memory_order_relaxed);
  pubBlock_.store(0, std::memory_order_relaxed);
  pubRestarts_.store(0, std::memory_order_relaxed);
  pubSteps_.store(0, std::memory_order_relaxed);
  pubOffLine_.store(false, std::memory_order_relaxed);
  pubValid_.store(false, std::memory_order_relaxed);
  controlDelay_.store(0.0, std::memory_order_relaxed);
  setPoint_.store(0.0, std::memory_order_relaxed);
  loopBandwidth_.store(0.0, std::memory_order_relaxed);
  measuredRatio_.store(0.0, std::memory_order_relaxed);
  fifoGrowths_.store(0, std::memory_order_relaxed);
  recentres_.store(0, std::memory_order_relaxed);
  shifts_.store(0, std::memory_order_relaxed);
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
  float factor = static_cast<float>(ratio);  // level law: this push uses the ratio before its update
  if (config_.variableRatio) {
    if (delayLaw_) {
      // Delay law: the ratio computed with this block counted is the one it is converted at.
      // Between readings of the input's clock the ratio stays as it is.
      if (controlDue_) ratio = DelayRatioForPush(n, inGather_.SpanFrames());
      factor = static_cast<float>(ratio);
      if (ratio > 0.0) steeredSamples_ += n * (ratio - steerReference_);
    } else {
      const bool stable = inTracker_.IsLongStable() && outTracker_.IsLongStable();
      const double gain = stable ? 0.01 : 0.1;
      ratio += (target_.load(std::memory_order_relaxed) - ratio) * gain;
    }
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
  // Output-room test (variable ratio only; a fixed ratio's buffers take whatever it
  // produces): a factor that would produce more than the buffers take (with 10 percent
  // margin) is logged and limited to the largest that fits. The buffers are sized for the
  // configured ratio, so only a wild excursion of the control gets here.
  if (config_.variableRatio && static_cast<double>(n) * factor * 1.1 > outLimit_) {
    LogPrintf("ASYNCRESAMPLER %x OVERRUN!!!\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
    factor = static_cast<float>(outLimit_ / (static_cast<double>(n) * 1.1) * 0.9999);
    factorLimits_.fetch_add(1, std::memory_order_relaxed);
  }
  return factor;
}

// ---- Delay-locked ratio control ------------------------------------------------------
//
// The controlled quantity is the delay through the resampler, in output samples: what went
// into the FIFO plus what the kernel still holds (at the ratio), minus what the output has
// taken, with the output's count carried forward along its smoothed clock line to the
// input's smoothed time of this block, so that both counts belong to one instant and the
// callbacks' jitter does not enter. A PI loop moves the ratio around the measured rate
// ratio (the two clock loops' periods) so that this delay sits in the middle of the usable
// FIFO window (capacity less both block sizes).
//
// Xruns: an underrun plays silence and an overrun drops a block; neither changes what the
// clocks did, so the loop regulates the delay with their effect taken out ("virtual"
// delay) and neither the ratio nor the loop notices them. The real delay is what the FIFO
// holds; when it lies outside the FIFO for over a second, or a clock is lost, the FIFO is
// re-centred once and the loop restarts wide.

void AsyncResampler::PublishOutputClock() {
  // Sequence lock: odd while writing. Every field is an atomic, so a reader that races a
  // write sees a changed sequence and retries rather than a torn value.
  const uint32_t seq = clockSeq_.load(std::memory_order_relaxed);
  clockSeq_.store(seq + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  pubGot_.store(gotSamples_, std::memory_order_relaxed);
  pubSilence_.store(silenceSamples_, std::memory_order_relaxed);
  pubTimeNs_.store(outDll_.TimeNs(), std::memory_order_relaxed);
  pubAgeNs_.store(outDll_.AgeNs(), std::memory_order_relaxed);
  pubPeriodNs_.store(outDll_.HasRate() ? outDll_.PeriodNs() : 0.0, std::memory_order_relaxed);
  pubJitterNs_.store(outDll_.JitterNs(), std::memory_order_relaxed);
  pubRestarts_.store(outDll_.Restarts(), std::memory_order_relaxed);
  pubSteps_.store(outDll_.Steps(), std::memory_order_relaxed);
  pubOffLine_.store(outDll_.OffLine(), std::memory_order_relaxed);
  pubValid_.store(primed_.load(std::memory_order_relaxed) && outDll_.HasRate(), std::memory_order_relaxed);
  clockSeq_.store(seq + 2, std::memory_order_release);
}

void AsyncResampler::PublishOutputBlock(int32_t block) { pubBlock_.store(block, std::memory_order_relaxed); }

bool AsyncResampler::ReadOutputClock(OutputClock* clock) const {
  // A writer holds the sequence odd for a few stores; a handful of tries always suffices,
  // and a miss only means this push keeps the ratio of the last one.
  for (int attempt = 0; attempt < 8; ++attempt) {
    const uint32_t before = clockSeq_.load(std::memory_order_acquire);
    if (before & 1u) continue;
    clock->got = pubGot_.load(std::memory_order_relaxed);
    clock->silence = pubSilence_.load(std::memory_order_relaxed);
    clock->timeNs = pubTimeNs_.load(std::memory_order_relaxed);
    clock->ageNs = pubAgeNs_.load(std::memory_order_relaxed);
    clock->periodNs = pubPeriodNs_.load(std::memory_order_relaxed);
    clock->jitterNs = pubJitterNs_.load(std::memory_order_relaxed);
    clock->restarts = pubRestarts_.load(std::memory_order_relaxed);
    clock->steps = pubSteps_.load(std::memory_order_relaxed);
    clock->offLine = pubOffLine_.load(std::memory_order_relaxed);
    clock->valid = pubValid_.load(std::memory_order_relaxed);
    clock->block = pubBlock_.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (clockSeq_.load(std::memory_order_relaxed) == before) return true;
  }
  return false;
}

void AsyncResampler::Recentre(double excessSamples, bool afterError) {
  // Input side: discard the oldest samples or add silence so the FIFO holds the set point.
  // The accounting follows, as if those samples had (not) been put.
  const int32_t used = fifo_.Used() / 4;
  const int32_t room = capacitySamples_.load(std::memory_order_relaxed) - used;
  void* none[kMaxChannels] = {};
  int32_t moved = 0;
  if (excessSamples > 0.0) {
    const int32_t drop = std::min(used, static_cast<int32_t>(excessSamples));
    if (drop > 0) moved = fifo_.GetAll(none, drop * 4, false, false) / 4;
    putSamples_ -= moved;
    movedSamples_ -= moved;
  } else if (excessSamples < 0.0) {
    const int32_t add = std::min(room, static_cast<int32_t>(-excessSamples));
    if (add > 0) moved = fifo_.PutAll(none, add * 4, false, false) / 4;
    putSamples_ += moved;
    movedSamples_ += moved;
  }
  if (moved > 0) shifts_.fetch_add(1, std::memory_order_relaxed);
  if (!afterError) return;
  recentres_.fetch_add(1, std::memory_order_relaxed);
  LogPrintf("AsyncResampler: delay %.0f samples off the set point, FIFO re-centred\n", excessSamples);
}

void AsyncResampler::NoteGlitches(double nowNs, double blockOut, int32_t outBlock) {
  const int32_t total = glitches_.load(std::memory_order_relaxed);
  bool grow = false;
  while (glitchesSeen_ != total) {
    ++glitchesSeen_;
    glitchTimes_[glitchNext_] = nowNs;
    glitchNext_ = (glitchNext_ + 1) % kGrowGlitches;
    if (glitchHeld_ < kGrowGlitches) ++glitchHeld_;
    // The ring holds the last kGrowGlitches times; the slot written next is the oldest.
    if (glitchHeld_ == kGrowGlitches && nowNs - glitchTimes_[glitchNext_] <= kGrowWindowSec * 1e9) grow = true;
  }
  const int32_t capacity = capacitySamples_.load(std::memory_order_relaxed);
  if (!grow || capacity >= maxCapacity_) return;
  glitchHeld_ = 0;
  // One block (the larger side's, in output samples) more FIFO, and the set point moves
  // with the middle of the window; the loop restarts wide to get there within seconds.
  const int32_t step = static_cast<int32_t>(std::ceil(std::max(blockOut, static_cast<double>(outBlock))));
  const int32_t grown = std::min(maxCapacity_, capacity + std::max(step, 1));
  capacitySamples_.store(grown, std::memory_order_relaxed);
  fifoBytes_.store(grown * 4, std::memory_order_relaxed);
  fifoSamples_.store(grown, std::memory_order_relaxed);
  fifoGrowths_.fetch_add(1, std::memory_order_relaxed);
  // The delay moves to the new set point at once (one more short gap, in a stretch that is
  // glitching anyway) rather than through the ratio, which would bend the pitch for seconds.
  stepPending_ = true;
  fifoGrew_ = true;
  LogPrintf("AsyncResampler: %i glitches within %.0f s, FIFO grown from %i to %i samples\n", kGrowGlitches,
            kGrowWindowSec, capacity, grown);
}

void AsyncResampler::NoteDelayNoise(double delaySec, double nowNs) {
  // The delay comes in less what the ratio's own moves and the FIFO's deliberate moves put
  // into it: the delay the FIFO would show at a fixed ratio. A clock offset only tilts
  // that, so its spread about a straight line fitted over the last kNoiseSec (weights
  // fading with age, times counted back from the newest block) is the noise the loop would
  // pass on to the pitch. Glitches and the devices' own steps stay in, as noise: a stream
  // that steps now and then is no place for a wide loop either.
  if (!noiseSeen_) {
    noiseSeen_ = true;
    fit_ = LineFit{};
    fit_.origin = delaySec;
    noiseSmooth_ = delaySec;
    lastNoiseNs_ = nowNs;
  }
  const double dt = (nowNs - lastNoiseNs_) * 1e-9;
  if (dt < 0.0) return;
  lastNoiseNs_ = nowNs;
  // What reaches the pitch passes the ratio's smoother first: the delay is smoothed alike
  // (block-to-block scatter averages out there, wander and steps do not).
  noiseSmooth_ += (delaySec - noiseSmooth_) * std::min(1.0, dt * (1.0 / kNoiseSmoothSec));
  delaySec = noiseSmooth_;
  LineFit& f = fit_;
  const double fade = 1.0 / (1.0 + dt * (1.0 / kNoiseSec));  // exp(-dt / kNoiseSec) for blocks this short
  // Move the time origin to this block, then let the old weights fade.
  f.stt = fade * (f.stt - 2.0 * dt * f.st + dt * dt * f.s0);
  f.stx = fade * (f.stx - dt * f.sx);
  f.st = fade * (f.st - dt * f.s0);
  f.s0 *= fade;
  f.sx *= fade;
  f.sxx *= fade;
  const double y = delaySec - f.origin;
  f.s0 += 1.0;
  f.sx += y;
  f.sxx += y * y;
  // Re-base the values on this one, so that the sums stay small however far the delay
  // drifts.
  f.sxx += -2.0 * y * f.sx + y * y * f.s0;
  f.sx -= y * f.s0;
  f.stx -= y * f.st;
  f.origin = delaySec;
  f.span += dt;
  const double det = f.s0 * f.stt - f.st * f.st;
  if (f.span < kNoiseMinSec || !(det > 0.0)) return;
  const double fitted = (f.sx * f.sx * f.stt - 2.0 * f.sx * f.st * f.stx + f.s0 * f.stx * f.stx) / det;
  noiseVar_ = std::max(0.0, (f.sxx - fitted) / f.s0);
}

double AsyncResampler::NoiseCapHz(double sigmaSec) const {
  if (!(sigmaSec > 0.0)) return kLoopStartHz;
  return std::clamp(kPitchNoise / (2.0 * kTwoPiLoop * sigmaSec), kNoiseCapMinHz, kLoopStartHz);
}

double AsyncResampler::DelayRatioForPush(int32_t n, int64_t spanFrames) {
  const double current = ratio_.load(std::memory_order_relaxed);
  OutputClock out;
  if (!inDll_.HasRate() || !ReadOutputClock(&out) || !(out.periodNs > 0.0)) return current;
  // Output samples per input sample, from the two loops' periods.
  const double perPeriod = 1.0 / out.periodNs;  // output samples per ns
  const double measured = inDll_.PeriodNs() * perPeriod;
  if (!(measured >= 0.125 && measured <= 8.0)) return 0.0;  // beyond what the kernel converts
  measuredRatio_.store(measured, std::memory_order_relaxed);
  if (!out.valid) return measured;  // not primed yet: follow the clocks, nothing to hold
  const bool nominalKnown = config_.inputRate > 0.0 && config_.outputRate > 0.0;
  const double nominal = nominalKnown ? config_.outputRate / config_.inputRate : measured;

  const double tIn = inDll_.TimeNs();
  const double sinceOut = tIn - out.timeNs;
  if (sinceOut > 1e9 || out.restarts != outRestartsSeen_) {
    // The output's clock is lost (silent for a second, or its time jumped): hold the ratio
    // and start over once it runs again.
    outRestartsSeen_ = out.restarts;
    recentrePending_ = true;
    loopRunning_ = false;
    return current > 0.0 ? current : measured;
  }
  const double ratio = current > 0.0 ? current : measured;
  const double held = (fill_ - kHistory - time_) + n;  // input samples the kernel has yet to convert
  const double delayReal = static_cast<double>(putSamples_ - out.got) + held * ratio - sinceOut * perPeriod;
  const double blockOut = n * measured;
  NoteGlitches(tIn, blockOut, out.block);
  const int32_t capacity = capacitySamples_.load(std::memory_order_relaxed);
  // The set point: the middle of the usable window (capacity less both blocks), or where
  // the delay stood near it when the loop started (see below). A re-centring after an
  // error and a grown FIFO go back to the middle.
  const double middle = 0.5 * (capacity + blockOut - out.block);
  if (recentrePending_ || fifoGrew_) {
    setOffset_ = 0.0;
    fifoGrew_ = false;
  }
  const double setPoint = middle + setOffset_;
  const double window = std::max(0.0, capacity - blockOut - out.block);
  NoteDelayNoise((delayReal - steeredSamples_ - movedSamples_) * out.periodNs * 1e-9, tIn);
  if (!loopStarted_ && (inDll_.AgeNs() < kLoopAfterLineSec * 1e9 || out.ageNs < kLoopAfterLineSec * 1e9)) {
    // Before the loop starts the ratio stays at the rates' ratio and the FIFO only keeps
    // clear of its edges: a stream's start can move the delay by more than the FIFO holds
    // (a playback device filling its own buffers), and one jump to the middle costs less
    // than a dropped or silent block every few callbacks.
    if (std::fabs(delayReal - middle) > kStartEdgeShare * window && tIn - lastRecentreNs_ > 0.5e9) {
      Recentre(delayReal - middle, false);
      lastRecentreNs_ = tIn;
    }
    return nominal;
  }

  if (!loopRunning_) {
    // The loop starts seconds into the stream, where moving the FIFO's contents would be
    // heard: a delay that stands within kSetPointShare of the usable window from its middle
    // becomes the set point as it is; one further out (or after an error) is put at the
    // middle at once, which the bounded ratio would take seconds to do.
    if (!recentrePending_ && !loopStarted_ && std::fabs(delayReal - middle) <= kSetPointShare * window) {
      setOffset_ = delayReal - middle;
    } else if (recentrePending_ || !loopStarted_) {
      Recentre(delayReal - setPoint, recentrePending_);
      loop_.Reset();
    }
    loopStarted_ = true;
    dropBase_ = droppedSamples_;
    silenceBase_ = out.silence;
    loopStartNs_ = tIn;
    lastControlNs_ = tIn;
    grossSinceNs_ = -1.0;
    recentrePending_ = false;
    loopRunning_ = true;
    // With nominal rates the reference is their ratio: a real clock is within a fraction of
    // a permille of it, while a few seconds of Wine-like callbacks can put the measured
    // periods further off than that. What the clocks really differ by, the integral learns.
    referenceRatio_ = nominal;
    lastRecentreNs_ = tIn;
    boundSinceNs_ = -1.0;
    appliedRatio_ = referenceRatio_ * (1.0 + loop_.Output());
    return appliedRatio_;
  }
  // Gross error: the real delay outside the FIFO for over a second.
  if (delayReal < 0.0 || delayReal > capacity) {
    if (grossSinceNs_ < 0.0) grossSinceNs_ = tIn;
    if (tIn - grossSinceNs_ > 1e9) {
      recentrePending_ = true;
      loopRunning_ = false;
    }
  } else {
    grossSinceNs_ = -1.0;
  }
  if (inDll_.Steps() != inStepsSeen_ || out.steps != outStepsSeen_) {
    // A device lost (or made up) time: the delay through the resampler stepped for real.
    // Pulling it back through the ratio would bend the pitch for seconds; the FIFO takes
    // the step instead (the device's own gap is heard anyway), and the loop runs on.
    inStepsSeen_ = inDll_.Steps();
    outStepsSeen_ = out.steps;
    stepPending_ = true;
  }
  if (inDll_.OffLine() || out.offLine) {
    // A block off its line: the smoothed time is a prediction until the clock loop knows
    // whether this is a step. Hold the ratio rather than react to a delay that may be false.
    lastControlNs_ = tIn;
    return current;
  }
  if (stepPending_) {
    stepPending_ = false;
    if (std::fabs(delayReal - setPoint) > 0.25 * std::max(blockOut, static_cast<double>(out.block))) {
      Recentre(delayReal - setPoint, false);
      dropBase_ = droppedSamples_;
      silenceBase_ = out.silence;
      lastControlNs_ = tIn;
      return current;
    }
  }
  const double jitterNs = std::sqrt(inDll_.JitterNs() * inDll_.JitterNs() + out.jitterNs * out.jitterNs);
  const double jitterSamples = jitterNs * perPeriod;
  // The delay's own noise, in samples: an offset within a few times that is noise, not the
  // streams settling in.
  const double noiseSec = std::sqrt(noiseVar_);
  const double noiseSamples = noiseSec * 1e9 * perPeriod;
  if (tIn - loopStartNs_ < kEarlyRecentreSec * 1e9 && tIn - lastRecentreNs_ > 1e9 &&
      std::fabs(delayReal - setPoint) >
          std::max({0.5 * blockOut, 0.5 * static_cast<double>(out.block), 2.0 * jitterSamples, 3.0 * noiseSamples})) {
    // While the loop is young the streams are still settling in (buffers filling, latency
    // building up): an offset of more than half a block would take the bounded ratio seconds of
    // wrong pitch to remove, so the FIFO takes it at once.
    Recentre(delayReal - setPoint, false);
    lastRecentreNs_ = tIn;
    dropBase_ = droppedSamples_;
    silenceBase_ = out.silence;
    lastControlNs_ = tIn;
    return current;
  }
  const double shift = static_cast<double>(out.silence - silenceBase_) - static_cast<double>(droppedSamples_ - dropBase_);
  const double delay = delayReal - shift;
  // Bandwidth: wide at the start for a quick lock, narrowing as 1 / age to a floor that the
  // measured jitter of both sides sets (the noisier the clocks, the narrower the loop).
  // The interval between readings: the floor then does not depend on how many blocks a
  // reading gathered (their mean's jitter falls as the interval grows).
  const double blockNs = static_cast<double>(spanFrames) * inDll_.PeriodNs();
  const double floorHz = std::max(kLoopMinHz, kLoopFloorShare * ClockDll::FloorFromScale(floorScale_.Of(jitterNs, blockNs), blockNs));
  const double ageSec = (tIn - loopStartNs_) * 1e-9;
  const double bandwidth = std::min(std::max(floorHz, kLoopStartHz / (1.0 + ageSec / kLoopNarrowSec)), NoiseCapHz(noiseSec));
  const double dt = (tIn - lastControlNs_) * 1e-9;
  lastControlNs_ = tIn;
  const double errorSec = (delay - setPoint) * out.periodNs * 1e-9;
  const double u = loop_.Step(errorSec, dt, bandwidth, kRatioBound);
  if (std::fabs(u) < kRatioBound) {
    boundSinceNs_ = -1.0;
  } else if (boundSinceNs_ < 0.0) {
    boundSinceNs_ = tIn;
  } else if (tIn - boundSinceNs_ > kBoundRecentreSec * 1e9 && tIn - lastRecentreNs_ > 2e9) {
    // The loop has sat at its bound: the offset is more than the pitch may be bent for.
    // The FIFO takes it; a young loop also forgets what it integrated from it (a stream's
    // start-up backlog, not a clock).
    Recentre(delayReal - setPoint, false);
    lastRecentreNs_ = tIn;
    boundSinceNs_ = -1.0;
    dropBase_ = droppedSamples_;
    silenceBase_ = out.silence;
    if (tIn - loopStartNs_ < 2.0 * kEarlyRecentreSec * 1e9) loop_.Reset();
    return current;
  }
  controlDelay_.store(delayReal, std::memory_order_relaxed);
  setPoint_.store(setPoint, std::memory_order_relaxed);
  loopBandwidth_.store(bandwidth, std::memory_order_relaxed);
  srcDelay_.store(std::max(0, static_cast<int32_t>(std::lround(delayReal))), std::memory_order_relaxed);
  // The ratio in force follows through a one-pole smoother above the loop's bandwidth, so
  // that what remains of the callbacks' timing noise in the delay does not move the pitch
  // within a fraction of a second.
  const double tau = std::clamp(1.0 / (kTwoPiLoop * kSmoothAbove * bandwidth), 0.0, kSmoothMaxSec);
  // The ratio moves around a reference held from the loop's start (the rates' ratio where
  // they are given, else the clocks' ratio as measured then): the clock loops keep
  // refining their periods for minutes, and following them would pull the
  // pitch along while the delay loop, narrowed by then, lags behind. What the start's
  // estimate missed, the loop's integral learns from the delay itself. Only an estimate
  // that has moved beyond half the loop's bound drags the reference along (no nominal
  // rates, a first estimate far off), so the ratio stays within the bound of it; with
  // nominal rates not before kReferenceHoldSec, while the streams still settle in.
  if (!nominalKnown || tIn - loopStartNs_ > kReferenceHoldSec * 1e9)
    referenceRatio_ = std::clamp(referenceRatio_, measured * (1.0 - 0.5 * kRatioBound), measured * (1.0 + 0.5 * kRatioBound));
  const double target = referenceRatio_ * (1.0 + u);
  appliedRatio_ += (target - appliedRatio_) * (tau > dt ? dt / tau : 1.0);
  return appliedRatio_;
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
  const int64_t pushNs = delayLaw_ || trace_ ? FineTimeNs() : 0;
  if (delayLaw_) {
    inFrames_ += count;
    int64_t readingNs = 0;
    controlDue_ = inGather_.Add(inFrames_, pushNs, inDll_.PeriodNs(), &readingNs);
    if (controlDue_ && !inDll_.Update(inFrames_, readingNs)) {
      // The input's time jumped: the delay measured across the jump means nothing.
      recentrePending_ = true;
      loopRunning_ = false;
    }
  }

  int32_t outCount = 0;
  const double ratio = ratio_.load(std::memory_order_relaxed);
  if (!config_.variableRatio && ratio == 1.0) {
    for (int32_t c = 0; c < channels; ++c) {
      const uint32_t seed = (seedState_ = DitherStep(seedState_)) >> 17;  // fresh seed in 0..32767
      ConvertInputPassThrough(in[c], channels_[c]->pushBuf.get(), count, seed);
    }
    outCount = count;
  } else {
    // The factor first: a push that cannot be converted (rejected rates) must not add its
    // samples to the history, which would otherwise grow past inBuf with every such push.
    const float factor = FactorForPush(count);
    lastFactor_.store(factor, std::memory_order_relaxed);
    if (factor > 0.0f) {
      for (int32_t c = 0; c < channels; ++c) {
        const uint32_t seed = (seedState_ = DitherStep(seedState_)) >> 17;
        ConvertInputResampling(in[c], channels_[c]->inBuf.get() + fill_, count, seed);
      }
      fill_ += count;
    }
    const int32_t length = static_cast<int32_t>((fill_ - kHistory) - time_);
    bool ran = false;
    if (length >= 1 && factor > 0.0f) {
      // All channels in one run: they share the instants, so below factor 1 the kernel
      // works out each instant's coefficients once for all of them. Every channel's filter
      // bank is the same design; the first one serves.
      const float* sources[kMaxChannels];
      float* targets[kMaxChannels];
      ran = true;
      for (int32_t c = 0; c < channels; ++c) {
        ran = ran && channels_[c]->state != nullptr;
        sources[c] = channels_[c]->inBuf.get();
        targets[c] = channels_[c]->pushBuf.get();
      }
      double t = time_;
      int32_t k = 0;
      int32_t produced = 0;
      ran = ran && ippsResamplePolyphaseChannels_32f(channels_[0]->state, sources, channels, length, targets, factor,
                                                      1.0f, &t, &produced) == ippStsNoErr;
      if (ran) {
        outCount = produced;
        k = static_cast<int32_t>(t);
        for (int32_t c = 0; c < channels; ++c)
          ippsMove_32f(channels_[c]->inBuf.get() + (k - kHistory), channels_[c]->inBuf.get(), fill_ - (k - kHistory));
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
  // Free space counts against the usable capacity, which under the delay law may be less
  // than the storage (the FIFO can grow into it).
  const int32_t free = delayLaw_ ? fifoBytes_.load(std::memory_order_relaxed) - fifo_.Used() : fifo_.Free();
  if (free >= bytes) {
    void* sources[kMaxChannels];
    for (int32_t c = 0; c < channels; ++c) sources[c] = channels_[c]->pushBuf.get();
    if (bytes > 0) fifo_.PutAll(sources, bytes, false, false);
    putSamples_ += outCount;
    overrunning_ = false;
    freeWindow_.Add((free - bytes) / 4);
    freeMean_.store(freeWindow_.Mean(), std::memory_order_relaxed);
  } else {
    overruns_.fetch_add(1, std::memory_order_relaxed);
    droppedSamples_ += outCount;
    // A run of refused pushes is one glitch (one gap in what is heard), however long.
    if (primed_.load(std::memory_order_relaxed) && !overrunning_) glitches_.fetch_add(1, std::memory_order_relaxed);
    overrunning_ = true;
  }

  if (graceIn_.load(std::memory_order_relaxed) > 0 || graceOut_.load(std::memory_order_relaxed) > 0) {
    graceIn_.store(std::max(0, graceIn_.load(std::memory_order_relaxed) - count), std::memory_order_relaxed);
    overruns_.store(0, std::memory_order_relaxed);
    underruns_.store(0, std::memory_order_relaxed);
  }
  if (int32_t hold = rateHoldIn_.load(std::memory_order_relaxed); hold != 0)
    rateHoldIn_.store(std::max(0, hold - count), std::memory_order_relaxed);
  if (trace_) TraceBlock(0, count, pushNs);
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
  const int64_t pullNs = delayLaw_ || trace_ ? FineTimeNs() : 0;
  bool outDue = false;
  if (delayLaw_) {
    outFrames_ += count;
    int64_t readingNs = 0;
    outDue = outGather_.Add(outFrames_, pullNs, outDll_.PeriodNs(), &readingNs);
    if (outDue) outDll_.Update(outFrames_, readingNs);  // a restart is published with the clock
  }

  void* buffers[kMaxChannels];
  for (int32_t c = 0; c < channels; ++c) buffers[c] = channels_[c]->pullBuf.get();
  const int32_t bytes = count * 4;
  const int32_t sizeBytes = fifoBytes_.load(std::memory_order_relaxed);
  int32_t used = fifo_.Used();
  if (!primed_.load(std::memory_order_relaxed) && used > 0.5 * sizeBytes) primed_.store(true, std::memory_order_relaxed);
  const bool primed = primed_.load(std::memory_order_relaxed);
  if (primed && used >= bytes) {
    fifo_.GetAll(buffers, bytes, false, false);
    used = fifo_.Used();
    usedWindow_.Add(used / 4);
    gotSamples_ += count;
    underrunning_ = false;
  } else {
    fifo_.ZeroAll(buffers, bytes);
    underruns_.fetch_add(1, std::memory_order_relaxed);
    if (primed) {
      silenceSamples_ += count;
      if (!underrunning_) glitches_.fetch_add(1, std::memory_order_relaxed);
      underrunning_ = true;
    }
  }
  if (outDue) {
    PublishOutputBlock(count);
    PublishOutputClock();
  }
  fifoLevel_.store(used / 4, std::memory_order_relaxed);
  levelWindow_.Add(used / 4);
  levelSmoothWindow_.Add(levelWindow_.Mean());
  // Under the delay law the input side publishes the delay it controls.
  if (!delayLaw_) srcDelay_.store(std::max(0, levelSmoothWindow_.Mean() - count), std::memory_order_relaxed);

  if (config_.muteUntilLocked && config_.variableRatio &&
      (!inTracker_.IsShortStable() || !outTracker_.IsShortStable())) {
    for (int32_t c = 0; c < channels; ++c) std::memset(buffers[c], 0, static_cast<size_t>(bytes));
  }

  for (int32_t c = 0; c < channels; ++c)
    if (out[c]) ConvertOutput(channels_[c]->pullBuf.get(), out[c], count);

  if (!delayLaw_ && (config_.variableRatio || ratio_.load(std::memory_order_relaxed) != 1.0)) UpdateTarget();

  if (graceIn_.load(std::memory_order_relaxed) > 0 || graceOut_.load(std::memory_order_relaxed) > 0) {
    graceOut_.store(std::max(0, graceOut_.load(std::memory_order_relaxed) - count), std::memory_order_relaxed);
    overruns_.store(0, std::memory_order_relaxed);
    underruns_.store(0, std::memory_order_relaxed);
  }
  if (int32_t hold = rateHoldOut_.load(std::memory_order_relaxed); hold != 0)
    rateHoldOut_.store(std::max(0, hold - count), std::memory_order_relaxed);
  if (trace_) TraceBlock(1, count, pullNs);
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
