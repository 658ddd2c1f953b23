// Block resamplers for the bench and the quality report: our kernel fed the way the
// engine feeds it, and (when their development packages were found at configure time)
// peer libraries doing the same job. Bench-only: the product never links the peers.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "polyphase/ResamplePolyphase.h"

#ifdef VELORAND_PEER_ZITA
#include <zita-resampler/vresampler.h>
#endif
#ifdef VELORAND_PEER_SOXR
#include <soxr.h>
#endif
#ifdef VELORAND_PEER_SAMPLERATE
#include <samplerate.h>
#endif
#ifdef VELORAND_PEER_SPEEX
#include <speex/speex_resampler.h>
#endif

namespace polyphase_bench {

constexpr int kBlock = 512;             // input samples per call, as the engine's pushes
constexpr int kOutRoom = kBlock * 8 + 64;  // enough output room for any factor up to 8

// One mono resampler consuming whole input blocks. The factor (output / input rate) may
// change a little from block to block; resamplers that cannot follow it say so.
class BlockResampler {
 public:
  virtual ~BlockResampler() = default;
  virtual std::string Name() const = 0;
  virtual bool FollowsFactor() const { return true; }
  // Consumes all `count` input samples, writes the outputs to out (room kOutRoom) and
  // returns how many were written.
  virtual int Process(const float* in, int count, float* out, double factor) = 0;
};

// Our kernel exactly as the engine drives it: the block is appended behind 128 samples of
// history, the run stops about 128 samples short of the newest sample, the time carries
// over and the consumed samples are moved out.
class PolyphaseFeeder final : public BlockResampler {
 public:
  explicit PolyphaseFeeder(float window) : window_(window), buf_(kHistory + 2 * kBlock + 300, 0.0f) {
    ippsSelectVariant();
    if (ippsResamplePolyphaseInitAlloc_32f(&state_, window, 128, 0.95f, 8.0f, 1) != ippStsNoErr) state_ = nullptr;
  }
  ~PolyphaseFeeder() override {
    if (state_) ippsResamplePolyphaseFree_32f(state_);
  }
  bool ok() const { return state_ != nullptr; }
  std::string Name() const override { return "velorand w" + std::to_string(int(window_)); }
  int Process(const float* in, int count, float* out, double factor) override {
    std::copy(in, in + count, buf_.begin() + fill_);
    fill_ += count;
    const auto length = int32_t((fill_ - kHistory) - time_);
    if (length < 1) return 0;
    double t = time_;
    int32_t n = 0;
    if (ippsResamplePolyphase_32f(state_, buf_.data(), length, out, factor, 1.0f, &t, &n) != ippStsNoErr) return 0;
    const int32_t k = int32_t(t);
    ippsMove_32f(buf_.data() + (k - kHistory), buf_.data(), fill_ - (k - kHistory));
    fill_ -= k - kHistory;
    time_ = t - (k - kHistory);
    return n;
  }

 private:
  static constexpr int32_t kHistory = 128;
  float window_;
  ResamplePolyphaseState* state_ = nullptr;
  std::vector<float> buf_;
  int32_t fill_ = kHistory;
  double time_ = kHistory;
};

#ifdef VELORAND_PEER_ZITA
// Variable-ratio resampler; the per-block factor goes in as a ratio relative to nominal.
class ZitaFeeder final : public BlockResampler {
 public:
  ZitaFeeder(double nominal, unsigned hlen) : nominal_(nominal), hlen_(hlen) { ok_ = r_.setup(nominal, 1, hlen) == 0; }
  bool ok() const { return ok_; }
  std::string Name() const override { return "zita VResampler hlen " + std::to_string(hlen_); }
  int Process(const float* in, int count, float* out, double factor) override {
    r_.set_rratio(factor / nominal_);
    r_.inp_count = unsigned(count);
    r_.inp_data = const_cast<float*>(in);
    r_.out_count = unsigned(kOutRoom);
    r_.out_data = out;
    r_.process();
    return kOutRoom - int(r_.out_count);
  }

 private:
  VResampler r_;
  double nominal_;
  unsigned hlen_;
  bool ok_ = false;
};
#endif

// Several channels per block, as the engine converts them: our planar channels in one
// multichannel run, zita's VResampler on interleaved frames (the layout it takes; the
// bench interleaves the input in the timed rounds, the output is left interleaved).
class PolyphaseChannelsFeeder {
 public:
  PolyphaseChannelsFeeder(float window, int channels)
      : channels_(channels), bufs_(std::size_t(channels), std::vector<float>(kHistory + 2 * kBlock + 300, 0.0f)) {
    ippsSelectVariant();
    if (ippsResamplePolyphaseInitAlloc_32f(&state_, window, 128, 0.95f, 8.0f, 1) != ippStsNoErr) state_ = nullptr;
  }
  ~PolyphaseChannelsFeeder() {
    if (state_) ippsResamplePolyphaseFree_32f(state_);
  }
  // in[c] holds count samples of channel c; out[c] gets the outputs (room kOutRoom).
  // Returns the outputs per channel.
  int Process(const float* const* in, int count, float* const* out, double factor) {
    const float* srcs[16];
    for (int c = 0; c < channels_; ++c) {
      std::copy(in[c], in[c] + count, bufs_[std::size_t(c)].begin() + fill_);
      srcs[c] = bufs_[std::size_t(c)].data();
    }
    fill_ += count;
    const auto length = int32_t((fill_ - kHistory) - time_);
    if (length < 1) return 0;
    double t = time_;
    int32_t n = 0;
    if (ippsResamplePolyphaseChannels_32f(state_, srcs, channels_, length, out, factor, 1.0f, &t, &n) != ippStsNoErr)
      return 0;
    const int32_t k = int32_t(t);
    for (auto& b : bufs_) ippsMove_32f(b.data() + (k - kHistory), b.data(), fill_ - (k - kHistory));
    fill_ -= k - kHistory;
    time_ = t - (k - kHistory);
    return n;
  }

 private:
  static constexpr int32_t kHistory = 128;
  int channels_;
  ResamplePolyphaseState* state_ = nullptr;
  std::vector<std::vector<float>> bufs_;
  int32_t fill_ = kHistory;
  double time_ = kHistory;
};

#ifdef VELORAND_PEER_ZITA
class ZitaChannelsFeeder {
 public:
  ZitaChannelsFeeder(double nominal, int channels, unsigned hlen) : nominal_(nominal) {
    r_.setup(nominal, unsigned(channels), hlen);
  }
  // in: count interleaved frames; out: room for kOutRoom frames. Returns frames written.
  int Process(const float* in, int count, float* out, double factor) {
    r_.set_rratio(factor / nominal_);
    r_.inp_count = unsigned(count);
    r_.inp_data = const_cast<float*>(in);
    r_.out_count = unsigned(kOutRoom);
    r_.out_data = out;
    r_.process();
    return kOutRoom - int(r_.out_count);
  }

 private:
  VResampler r_;
  double nominal_;
};
#endif

#ifdef VELORAND_PEER_SOXR
class SoxrFeeder final : public BlockResampler {
 public:
  SoxrFeeder(double inRate, double outRate, unsigned long recipe, const char* label) : label_(label) {
    soxr_error_t err = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t q = soxr_quality_spec(recipe, 0);
    const soxr_runtime_spec_t rt = soxr_runtime_spec(1);  // one thread
    s_ = soxr_create(inRate, outRate, 1, &err, &io, &q, &rt);
    if (err) s_ = nullptr;
  }
  ~SoxrFeeder() override {
    if (s_) soxr_delete(s_);
  }
  bool ok() const { return s_ != nullptr; }
  std::string Name() const override { return std::string("soxr ") + label_; }
  bool FollowsFactor() const override { return false; }
  int Process(const float* in, int count, float* out, double) override {
    size_t idone = 0, odone = 0;
    soxr_process(s_, in, size_t(count), &idone, out, size_t(kOutRoom), &odone);
    return int(odone);
  }

 private:
  soxr_t s_ = nullptr;
  const char* label_;
};
#endif

#ifdef VELORAND_PEER_SAMPLERATE
class SrcFeeder final : public BlockResampler {
 public:
  SrcFeeder(int converter, const char* label) : label_(label) {
    int err = 0;
    s_ = src_new(converter, 1, &err);
  }
  ~SrcFeeder() override {
    if (s_) src_delete(s_);
  }
  bool ok() const { return s_ != nullptr; }
  std::string Name() const override { return std::string("libsamplerate ") + label_; }
  int Process(const float* in, int count, float* out, double factor) override {
    int produced = 0;
    while (count > 0) {
      SRC_DATA d{};
      d.data_in = in;
      d.input_frames = count;
      d.data_out = out + produced;
      d.output_frames = kOutRoom - produced;
      d.src_ratio = factor;
      if (src_process(s_, &d) != 0 || (d.input_frames_used == 0 && d.output_frames_gen == 0)) break;
      in += d.input_frames_used;
      count -= int(d.input_frames_used);
      produced += int(d.output_frames_gen);
    }
    return produced;
  }

 private:
  SRC_STATE* s_ = nullptr;
  const char* label_;
};
#endif

#ifdef VELORAND_PEER_SPEEX
class SpeexFeeder final : public BlockResampler {
 public:
  SpeexFeeder(int inRate, int outRate, int quality) : quality_(quality) {
    int err = 0;
    s_ = speex_resampler_init(1, spx_uint32_t(inRate), spx_uint32_t(outRate), quality, &err);
    if (err != 0) s_ = nullptr;
  }
  ~SpeexFeeder() override {
    if (s_) speex_resampler_destroy(s_);
  }
  bool ok() const { return s_ != nullptr; }
  std::string Name() const override { return "speexdsp q" + std::to_string(quality_); }
  bool FollowsFactor() const override { return false; }
  int Process(const float* in, int count, float* out, double) override {
    int produced = 0;
    while (count > 0) {
      spx_uint32_t inLen = spx_uint32_t(count), outLen = spx_uint32_t(kOutRoom - produced);
      speex_resampler_process_float(s_, 0, in, &inLen, out + produced, &outLen);
      if (inLen == 0 && outLen == 0) break;
      in += inLen;
      count -= int(inLen);
      produced += int(outLen);
    }
    return produced;
  }

 private:
  SpeexResamplerState* s_ = nullptr;
  int quality_;
};
#endif

// The rate pairs the engine meets most, plus the extremes of its factor range.
struct RatePair {
  int inRate, outRate;
  const char* label;
  double factor() const { return double(outRate) / double(inRate); }
};
inline const std::vector<RatePair>& RatePairs() {
  static const std::vector<RatePair> pairs = {
      {44100, 48000, "48000/44100"}, {48000, 44100, "44100/48000"}, {24000, 48000, "2"},
      {48000, 24000, "0.5"},         {192000, 44100, "44100/192000"}, {48000, 6000, "0.125"},
  };
  return pairs;
}

// Peers at the settings nearest to a window of ours: zita's half length is the window + 1
// (the goal's pairing of window 15 with hlen 16); libsamplerate's fastest sinc; speexdsp
// at the quality whose filter length is closest; soxr at its 16-bit medium recipe.
inline std::vector<std::unique_ptr<BlockResampler>> MakePeers(float window, const RatePair& rp) {
  std::vector<std::unique_ptr<BlockResampler>> peers;
  (void)window;
  (void)rp;
#ifdef VELORAND_PEER_ZITA
  {
    auto z = std::make_unique<ZitaFeeder>(rp.factor(), unsigned(window) + 1);
    if (z->ok()) peers.push_back(std::move(z));
  }
#endif
#ifdef VELORAND_PEER_SOXR
  {
    auto s = std::make_unique<SoxrFeeder>(rp.inRate, rp.outRate, SOXR_MQ, "MQ");
    if (s->ok()) peers.push_back(std::move(s));
  }
#endif
#ifdef VELORAND_PEER_SAMPLERATE
  {
    auto s = std::make_unique<SrcFeeder>(SRC_SINC_FASTEST, "sinc fastest");
    if (s->ok()) peers.push_back(std::move(s));
  }
#endif
#ifdef VELORAND_PEER_SPEEX
  {
    // speexdsp's filter lengths by quality: 8, 16, 32, 48, ... taps.
    const int quality = window < 20.0f ? 1 : 2;
    auto s = std::make_unique<SpeexFeeder>(rp.inRate, rp.outRate, quality);
    if (s->ok()) peers.push_back(std::move(s));
  }
#endif
  return peers;
}

}  // namespace polyphase_bench
