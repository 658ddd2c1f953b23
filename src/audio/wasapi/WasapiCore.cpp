#include "audio/wasapi/WasapiCore.h"

#include <algorithm>
#include <cmath>
#include <cstring>

WasapiIdKind WasapiClassifyId(const char* id, std::string* endpoint) {
  if (endpoint != nullptr) endpoint->clear();
  if (IsNoDeviceName(id)) return WasapiIdKind::kNone;
  if (IsDefaultDeviceNameText(id)) return WasapiIdKind::kDefault;
  const size_t prefix = std::strlen(kWasapiLoopbackIdPrefix);
  if (std::strncmp(id, kWasapiLoopbackIdPrefix, prefix) == 0 && id[prefix] != 0) {
    if (endpoint != nullptr) *endpoint = id + prefix;
    return WasapiIdKind::kLoopback;
  }
  if (endpoint != nullptr) *endpoint = id;
  return WasapiIdKind::kEndpoint;
}

int32_t WasapiDeviceCount(const std::vector<WasapiEndpoint>& own,
                          const std::vector<WasapiEndpoint>& loopback, bool allowDefault) {
  return static_cast<int32_t>(own.size() + loopback.size()) + (allowDefault ? 1 : 0);
}

void WasapiDeviceInfoAt(const std::vector<WasapiEndpoint>& own,
                        const std::vector<WasapiEndpoint>& loopback, bool allowDefault,
                        int32_t index, AudioDeviceInfo* info) {
  info->name.clear();
  info->identifier.clear();
  info->deviceIndex = -1;
  if (allowDefault) {
    if (index == 0) {
      info->name = kWasapiDefaultName;
      info->identifier = kWasapiDefaultName;
      return;
    }
    --index;
  }
  if (index < 0) return;
  const size_t i = static_cast<size_t>(index);
  if (i < own.size()) {
    info->name = own[i].name;
    info->identifier = own[i].id;
    info->deviceIndex = index;
  } else if (i - own.size() < loopback.size()) {
    const WasapiEndpoint& e = loopback[i - own.size()];
    info->name = std::string(kWasapiLoopbackNamePrefix) + e.name;
    info->identifier = std::string(kWasapiLoopbackIdPrefix) + e.id;
    info->deviceIndex = index;
  }
}

bool WasapiPortSampleType(int32_t bitsPerSample, WasapiSampleType* type) {
  if (bitsPerSample == 16) {
    *type = kWasapiInt16;
    return true;
  }
  if (bitsPerSample == 32) {
    *type = kWasapiFloat32;
    return true;
  }
  return false;
}

const char* WasapiSampleTypeText(const WasapiSampleType& t) {
  if (t.isFloat) return "32-bit float";
  if (t.containerBits == 32 && t.validBits == 24) return "24-bit in 32";
  if (t.containerBits == 16) return "16-bit";
  return "32-bit";
}

uint32_t WasapiChannelMask(int32_t channels) {
  switch (channels) {
    case 1: return 0x4;    // front centre
    case 2: return 0x3;    // front left, front right
    case 4: return 0x33;   // front left/right, back left/right
    case 6: return 0x3F;   // 5.1: front left/right/centre, LFE, back left/right
    case 8: return 0x63F;  // 7.1: 5.1 plus side left/right
    default:
      if (channels <= 0 || channels > 18) return 0;
      return (1u << channels) - 1u;
  }
}

WasapiFormat WasapiBuildFormat(int32_t channels, int32_t sampleRate, const WasapiSampleType& sample) {
  WasapiFormat f;
  f.channels = static_cast<uint16_t>(channels);
  f.sampleRate = static_cast<uint32_t>(sampleRate);
  f.sample = sample;
  f.blockAlign = static_cast<uint16_t>(sample.containerBits / 8 * channels);
  f.avgBytesPerSec = f.blockAlign * f.sampleRate;
  f.channelMask = WasapiChannelMask(channels);
  return f;
}

namespace {
// Every conversion goes through a 32-bit integer on the 2^31 scale, so 16 <-> 24-in-32 is
// exact and float is scaled by powers of two only.
inline int32_t ReadSample(const unsigned char* p, const WasapiSampleType& t) {
  if (t.containerBits == 16) {
    int16_t v;
    std::memcpy(&v, p, 2);
    return static_cast<int32_t>(v) * 65536;
  }
  if (t.isFloat) {
    float v;
    std::memcpy(&v, p, 4);
    const double scaled = static_cast<double>(v) * 2147483648.0;
    if (!(scaled < 2147483647.0)) return scaled != scaled ? 0 : INT32_MAX;  // NaN -> 0
    if (scaled < -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(scaled);
  }
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline void WriteSample(unsigned char* p, const WasapiSampleType& t, int32_t v) {
  if (t.containerBits == 16) {
    const auto s = static_cast<int16_t>(v >> 16);
    std::memcpy(p, &s, 2);
  } else if (t.isFloat) {
    const float f = static_cast<float>(static_cast<double>(v) / 2147483648.0);
    std::memcpy(p, &f, 4);
  } else {
    // 24 valid bits: the low byte is padding and stays zero.
    const int32_t s = t.validBits < 32 ? static_cast<int32_t>(static_cast<uint32_t>(v) & ~((1u << (32 - t.validBits)) - 1u)) : v;
    std::memcpy(p, &s, 4);
  }
}
}  // namespace

void WasapiConvertSamples(const void* src, const WasapiSampleType& srcType, void* dst,
                          const WasapiSampleType& dstType, size_t samples) {
  if (srcType == dstType) {
    std::memmove(dst, src, samples * (srcType.containerBits / 8u));
    return;
  }
  const auto* in = static_cast<const unsigned char*>(src);
  auto* out = static_cast<unsigned char*>(dst);
  const size_t inStep = srcType.containerBits / 8u;
  const size_t outStep = dstType.containerBits / 8u;
  for (size_t i = 0; i < samples; ++i, in += inStep, out += outStep)
    WriteSample(out, dstType, ReadSample(in, srcType));
}

int64_t WasapiFramesToHns(int64_t frames, int32_t rate) {
  if (rate <= 0) return 0;
  return static_cast<int64_t>(std::llround(10000000.0 * static_cast<double>(frames) / rate));
}

int64_t WasapiHnsToFrames(int64_t hns, int32_t rate) {
  return static_cast<int64_t>(std::llround(static_cast<double>(hns) * rate / 10000000.0));
}

int64_t WasapiExclusivePeriodHns(int32_t frames, int32_t rate, int64_t minimumPeriodHns) {
  return std::max(WasapiFramesToHns(frames, rate), minimumPeriodHns);
}

uint32_t WasapiWaitBoundMs(int64_t periodHns) {
  const int64_t ms = 2 * periodHns / 10000;
  return static_cast<uint32_t>(std::clamp<int64_t>(ms, 20, 500));
}

const char* WasapiExclusiveRefusalText(int32_t hr) {
  switch (hr) {
    case kWasapiErrDeviceInUse: return "Exclusive mode not available: device in use";
    case kWasapiErrExclusiveNotAllowed: return "Exclusive mode not available: not allowed for this device";
    case kWasapiErrUnsupportedFormat: return "Exclusive mode not available: format not supported";
    case kWasapiErrEndpointCreateFailed: return "Exclusive mode not available: the endpoint could not be created";
    case kWasapiErrInvalidDevicePeriod: return "Exclusive mode not available: the device refuses that period";
    default: return nullptr;
  }
}

int32_t WasapiRenderTargetFrames(int32_t bufferFrames, int32_t bufferCount, int32_t enginePeriodFrames,
                                 int32_t deviceBufferFrames) {
  const int64_t rotation = static_cast<int64_t>(std::max(bufferCount - 1, 1)) * std::max(bufferFrames, 1);
  const int64_t wanted = std::max<int64_t>(rotation, 2 * static_cast<int64_t>(std::max(enginePeriodFrames, 0)));
  return static_cast<int32_t>(std::min<int64_t>(wanted, std::max(deviceBufferFrames, 0)));
}

int64_t WasapiSharedBufferHns(int32_t bufferFrames, int32_t bufferCount, int32_t rate, int64_t enginePeriodHns) {
  const int64_t rotation = WasapiFramesToHns(static_cast<int64_t>(bufferFrames) * std::max(bufferCount, 2), rate);
  return std::max(rotation, 3 * enginePeriodHns);
}

int32_t WasapiLatencyFrames(bool open, bool isInput, int32_t renderTargetFrames,
                            int32_t streamLatencyFrames, int32_t bufferFrames, int32_t fifoFrames) {
  if (!open) return 0;
  const int32_t device = isInput ? bufferFrames : renderTargetFrames;
  return device + streamLatencyFrames + fifoFrames;
}

void WasapiBlockStager::Setup(int32_t blockFrames, int32_t channels, const WasapiSampleType& portType,
                              const WasapiSampleType& deviceType) {
  blockFrames_ = std::max(blockFrames, 1);
  channels_ = std::max(channels, 1);
  portType_ = portType;
  deviceType_ = deviceType;
  portFrameBytes_ = portType.containerBits / 8u * static_cast<uint32_t>(channels_);
  deviceFrameBytes_ = deviceType.containerBits / 8u * static_cast<uint32_t>(channels_);
  block_.assign(static_cast<size_t>(blockFrames_) * portFrameBytes_, 0);
  gathered_ = 0;
  written_ = blockFrames_;  // playback starts with no block
  blocks_ = 0;
}

void WasapiBlockStager::Capture(const void* device, uint32_t frames, AudioBufferSink* sink,
                                CAudioInterface* source) {
  const auto* in = static_cast<const unsigned char*>(device);
  while (frames > 0) {
    const uint32_t n = std::min<uint32_t>(frames, static_cast<uint32_t>(blockFrames_ - gathered_));
    unsigned char* at = block_.data() + static_cast<size_t>(gathered_) * portFrameBytes_;
    if (in != nullptr) {
      WasapiConvertSamples(in, deviceType_, at, portType_, static_cast<size_t>(n) * channels_);
      in += static_cast<size_t>(n) * deviceFrameBytes_;
    } else {
      std::memset(at, 0, static_cast<size_t>(n) * portFrameBytes_);
    }
    gathered_ += static_cast<int32_t>(n);
    frames -= n;
    if (gathered_ == blockFrames_) {
      if (sink != nullptr) sink->OnBuffer(source, block_.data(), BlockBytes());
      gathered_ = 0;
      ++blocks_;
    }
  }
}

void WasapiBlockStager::Render(void* device, uint32_t frames, AudioBufferSink* sink,
                               CAudioInterface* source) {
  auto* out = static_cast<unsigned char*>(device);
  while (frames > 0) {
    if (written_ == blockFrames_) {
      // A port without a sink plays silence rather than the previous block again.
      if (sink != nullptr) {
        sink->OnBuffer(source, block_.data(), BlockBytes());
      } else {
        std::memset(block_.data(), 0, block_.size());
      }
      written_ = 0;
      ++blocks_;
    }
    const uint32_t n = std::min<uint32_t>(frames, static_cast<uint32_t>(blockFrames_ - written_));
    WasapiConvertSamples(block_.data() + static_cast<size_t>(written_) * portFrameBytes_, portType_, out,
                         deviceType_, static_cast<size_t>(n) * channels_);
    out += static_cast<size_t>(n) * deviceFrameBytes_;
    written_ += static_cast<int32_t>(n);
    frames -= n;
  }
}

int32_t WasapiBlockStager::PendingFrames() const {
  return gathered_ + (written_ < blockFrames_ ? blockFrames_ - written_ : 0);
}
