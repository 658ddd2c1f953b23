// The portable part of the WASAPI interface: how identifiers are read, which sample
// formats exclusive mode tries and how they are laid out, frame <-> 100 ns conversions,
// the channel masks, the device-list entries, the texts of the refusals, the latency
// figure, and the stager that turns the device's packets (whatever their size) into the
// fixed blocks of bufferFrames frames the port works with. No COM here, so the native
// tree builds and tests it; the Win32 file feeds it the platform's answers.
//
// Threads: free functions are pure (any thread). WasapiBlockStager::Setup allocates
// (window or worker thread, before streaming); Capture and Render run on the device
// thread: no allocation, no lock, one sink call per completed block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/AudioInterface.h"

// ---- Identifiers and the device list ----------------------------------------------------
// Text of the default entry (name and identifier); "Default", "WAVE_MAPPER" and this
// text in any letter case open the default endpoint too.
inline constexpr const char* kWasapiDefaultName = "Default Device";
// Input-side entries that capture what a render endpoint plays.
inline constexpr const char* kWasapiLoopbackNamePrefix = "Loopback: ";
inline constexpr const char* kWasapiLoopbackIdPrefix = "Loopback:";

enum class WasapiIdKind {
  kNone,      // a no-device name ("Disable", "(None)", ...)
  kDefault,   // the default endpoint of the side's direction
  kEndpoint,  // an endpoint id string (or a listed name, matched at open)
  kLoopback,  // "Loopback:" + a render endpoint's id: capture what it plays
};
// Classifies a stored identifier; *endpoint gets the endpoint part (the text itself for
// kEndpoint, the text after the prefix for kLoopback, empty otherwise).
WasapiIdKind WasapiClassifyId(const char* id, std::string* endpoint);

// One active endpoint as the enumeration reports it.
struct WasapiEndpoint {
  std::string id;    // endpoint id string (UTF-8)
  std::string name;  // full friendly name (the ANSI code page, as the dialog shows it)
};

// Entry `index` of the list: the default entry first (when allowed), then the side's own
// endpoints, then (input side) one loopback entry per render endpoint. Out of range
// leaves *info with empty texts and deviceIndex -1.
void WasapiDeviceInfoAt(const std::vector<WasapiEndpoint>& own,
                        const std::vector<WasapiEndpoint>& loopback, bool allowDefault,
                        int32_t index, AudioDeviceInfo* info);
int32_t WasapiDeviceCount(const std::vector<WasapiEndpoint>& own,
                          const std::vector<WasapiEndpoint>& loopback, bool allowDefault);

// ---- Formats --------------------------------------------------------------------------
struct WasapiSampleType {
  uint16_t containerBits = 16;  // bits one sample occupies
  uint16_t validBits = 16;      // bits that carry the value (24 of 32 for 24-in-32)
  bool isFloat = false;
  bool operator==(const WasapiSampleType& o) const {
    return containerBits == o.containerBits && validBits == o.validBits && isFloat == o.isFloat;
  }
};
inline constexpr WasapiSampleType kWasapiInt16{16, 16, false};
inline constexpr WasapiSampleType kWasapiInt24In32{32, 24, false};
inline constexpr WasapiSampleType kWasapiFloat32{32, 32, true};
// What exclusive mode offers the device, in this order: the port's own 16 bits need no
// conversion; 24 in 32 and float are what most hardware that refuses 16 bits takes.
inline constexpr WasapiSampleType kWasapiExclusiveOrder[3] = {kWasapiInt16, kWasapiInt24In32,
                                                              kWasapiFloat32};
// The port's format for an open record's bitsPerSample (16 integers, 32 floats); false
// for widths the port does not convert.
bool WasapiPortSampleType(int32_t bitsPerSample, WasapiSampleType* type);
const char* WasapiSampleTypeText(const WasapiSampleType& t);  // "16-bit", "24-bit in 32", "32-bit float"

// WAVEFORMATEXTENSIBLE's fields as this interface fills them.
struct WasapiFormat {
  uint16_t channels = 0;
  uint32_t sampleRate = 0;
  WasapiSampleType sample;
  uint16_t blockAlign = 0;      // containerBits / 8 x channels
  uint32_t avgBytesPerSec = 0;  // blockAlign x sampleRate
  uint32_t channelMask = 0;
};
WasapiFormat WasapiBuildFormat(int32_t channels, int32_t sampleRate, const WasapiSampleType& sample);
// Speaker positions for a channel count: mono centre, stereo, quad, 5.1, 7.1; other
// counts take the first positions in order (0 beyond the 18 defined positions).
uint32_t WasapiChannelMask(int32_t channels);

// Converts `samples` samples between two sample types (same type: a copy). Saturates
// where the target is narrower. Device thread: arithmetic only.
void WasapiConvertSamples(const void* src, const WasapiSampleType& srcType, void* dst,
                          const WasapiSampleType& dstType, size_t samples);

// ---- Time -----------------------------------------------------------------------------
// 100 ns units (REFERENCE_TIME) of `frames` at `rate`, rounded to nearest, as the
// exclusive-mode period must be given.
int64_t WasapiFramesToHns(int64_t frames, int32_t rate);
// Frames at `rate` of a duration in 100 ns units, rounded to nearest.
int64_t WasapiHnsToFrames(int64_t hns, int32_t rate);
// Exclusive-mode period for a block of `frames`: the block's duration, but not below the
// device's minimum period.
int64_t WasapiExclusivePeriodHns(int32_t frames, int32_t rate, int64_t minimumPeriodHns);
// Longest sleep of the streaming loop between two events: two device periods, at least
// 20 ms and at most 500 ms. A wake without event still services the stream, so endpoints
// that signal no event (loopback on older systems) are served by polling.
uint32_t WasapiWaitBoundMs(int64_t periodHns);

// ---- Texts -----------------------------------------------------------------------------
// Codes of the audio client that the portable code names (the Win32 file checks them
// against the SDK's).
inline constexpr int32_t kWasapiErrDeviceInvalidated = static_cast<int32_t>(0x88890004u);
inline constexpr int32_t kWasapiErrUnsupportedFormat = static_cast<int32_t>(0x88890008u);
inline constexpr int32_t kWasapiErrDeviceInUse = static_cast<int32_t>(0x8889000Au);
inline constexpr int32_t kWasapiErrExclusiveNotAllowed = static_cast<int32_t>(0x8889000Eu);
inline constexpr int32_t kWasapiErrEndpointCreateFailed = static_cast<int32_t>(0x8889000Fu);
inline constexpr int32_t kWasapiErrServiceNotRunning = static_cast<int32_t>(0x88890010u);
inline constexpr int32_t kWasapiErrBufferSizeNotAligned = static_cast<int32_t>(0x88890019u);
inline constexpr int32_t kWasapiErrInvalidDevicePeriod = static_cast<int32_t>(0x88890020u);
// Why exclusive mode was refused, for the codes that say so plainly ("Exclusive mode not
// available: device in use", ...); null for other codes.
const char* WasapiExclusiveRefusalText(int32_t hr);

// How full shared-mode playback keeps the device buffer: the side's rotation less the
// block being produced, as the Wave interface keeps it ((count - 1) x frames), but never
// less than two engine periods (the loop wakes once a period, so less would run dry
// between wakes) and never more than the buffer the engine granted.
int32_t WasapiRenderTargetFrames(int32_t bufferFrames, int32_t bufferCount, int32_t enginePeriodFrames,
                                 int32_t deviceBufferFrames);
// Shared-mode buffer to ask for: the side's rotation, at least three engine periods.
int64_t WasapiSharedBufferHns(int32_t bufferFrames, int32_t bufferCount, int32_t rate, int64_t enginePeriodHns);

// Frames buffered on the device side while open: for playback the part of the device
// buffer the loop keeps filled plus the stream latency; for capture the stream latency plus the block
// being gathered; both plus the port's FIFO. 0 when closed.
int32_t WasapiLatencyFrames(bool open, bool isInput, int32_t renderTargetFrames,
                            int32_t streamLatencyFrames, int32_t bufferFrames, int32_t fifoFrames);

// ---- Blocks ----------------------------------------------------------------------------
// Between the device's packets and the port's blocks: the device delivers or asks for
// whatever a period holds (shared mode: the engine's period, 10 ms or so; exclusive mode:
// the negotiated buffer), the port always works in blocks of bufferFrames frames of its
// own sample type. The stager keeps one block and converts sample types on the way.
class WasapiBlockStager {
 public:
  // Allocates the block. Not real-time.
  void Setup(int32_t blockFrames, int32_t channels, const WasapiSampleType& portType,
             const WasapiSampleType& deviceType);
  // Capture: appends `frames` device frames (null: silence), handing every completed block
  // to sink->OnBuffer(source, block, block bytes).
  void Capture(const void* device, uint32_t frames, AudioBufferSink* sink, CAudioInterface* source);
  // Playback: writes `frames` device frames, asking sink->OnBuffer for a new block
  // whenever the current one is used up.
  void Render(void* device, uint32_t frames, AudioBufferSink* sink, CAudioInterface* source);
  // Capture: frames gathered towards the next block; playback: frames of the current
  // block not yet written.
  int32_t PendingFrames() const;
  uint32_t BlockBytes() const { return static_cast<uint32_t>(block_.size()); }
  uint64_t BlocksDone() const { return blocks_; }

 private:
  std::vector<unsigned char> block_;
  int32_t blockFrames_ = 0;
  int32_t channels_ = 0;
  int32_t gathered_ = 0;  // capture: frames of the block gathered so far
  int32_t written_ = 0;   // playback: frames of the current block written (all: none left)
  WasapiSampleType portType_;
  WasapiSampleType deviceType_;
  uint32_t portFrameBytes_ = 0;
  uint32_t deviceFrameBytes_ = 0;
  uint64_t blocks_ = 0;
};
