// What every audio interface (Wave, DirectSound, Kernel Streaming) shares: the record
// that opens one side, one entry of a device list, the sink through which an interface
// hands every device buffer to its owner, the callback the main dialog implements, the
// interface-type tables and the abstract CAudioInterface.
//
// Threads: Open/Close/Reset/device-list operations on the window thread, under the
// owning port's lock. An interface calls its sink's OnBuffer from its streaming thread
// (and, for output prefill, from the window thread inside Open).
//
// Checks the port (AudioPort) already makes before an interface's Open is called:
// sample rate >= 8000, channels 1..32, bufferFrames >= 1, interface not running.
// Checks every interface must still make itself: no-device and default-device names,
// the device exists, bufferCount within its own limits, the format is accepted.
#pragma once

#include <cstdint>
#include <string>

// ---- Interface types ------------------------------------------------------------------
enum AudioInterfaceType : int32_t {
  kAudioTypeNone = 0,
  kAudioTypeWave = 1,
  kAudioTypeDirectSound = 2,
  kAudioTypeKernelStreaming = 3,
  kAudioTypeWasapi = 4,           // shared mode through the audio engine
  kAudioTypeWasapiExclusive = 5,  // the endpoint to ourselves
};

struct AudioInterfaceTypeInfo {
  int32_t id;
  const char* shortName;  // fills the Interface lists: "Wave", "DS", "KS", "WASAPI", "WASAPI Excl"
  const char* longName;   // "Wave In"/"Wave Out", "DirectSound", "Kernel Streaming", "WASAPI"
};

constexpr int32_t kAudioInterfaceTypeCount = 5;
// Row i for id i + 1; the two tables differ only in row 0's long name.
extern const AudioInterfaceTypeInfo kInputInterfaceTypes[kAudioInterfaceTypeCount];
extern const AudioInterfaceTypeInfo kOutputInterfaceTypes[kAudioInterfaceTypeCount];

inline const AudioInterfaceTypeInfo* AudioInterfaceTypes(bool isInput) {
  return isInput ? kInputInterfaceTypes : kOutputInterfaceTypes;
}
// 1 -> "Wave", 2 -> "DS", 3 -> "KS", 4 -> "WASAPI", 5 -> "WASAPI Excl", anything else
// -> "Invalid".
const char* AudioInterfaceShortName(int32_t type);
// The side's long name; "Invalid" for unknown ids.
const char* AudioInterfaceLongName(bool isInput, int32_t type);
// Case-sensitive match against the side's short names; 0 when nothing matches.
int32_t AudioInterfaceTypeFromShortName(bool isInput, const char* shortName);

// ---- Special device names (compared ignoring case) -------------------------------------
// "", "Disable", "Disabled", "Off", "None", "(None)": the user chose no device.
bool IsNoDeviceName(const char* name);
// "WAVE_MAPPER", "Default", "Default Device": the platform's default device.
bool IsDefaultDeviceNameText(const char* name);
struct AudioOpenParams;
// How long a streaming side may go without a completed buffer before it counts as
// failed: four times the audio it keeps buffered (bufferCount x bufferFrames at the
// rate), never under 500 ms, so a slow but working device is not taken for a lost one.
// Records without a usable geometry get the 500 ms.
uint32_t StallLimitMs(const AudioOpenParams& params);
// Before the first completed buffer a device may take longer while it starts (Wine's
// capture takes more than a second); a device that never starts still fails in time.
constexpr uint32_t kFirstBufferLimitMs = 4000;

// ASCII case-insensitive equality (device names may carry any bytes; only A-Z fold).
bool EqualsIgnoreCase(const char* a, const char* b);

// The speaker positions Windows expects for a channel count in WAVEFORMATEXTENSIBLE's
// dwChannelMask (the ksmedia layouts): mono (front centre), stereo, 3.0, quad, 5.0, 5.1,
// 6.1 (back centre) and 7.1 surround; 0, no positions, beyond eight. Formats of more
// than two channels are opened as WAVEFORMATEXTENSIBLE with this mask.
constexpr uint32_t StandardChannelMask(int32_t channels) {
  constexpr uint32_t kMasks[9] = {0, 0x4, 0x3, 0x7, 0x33, 0x37, 0x3F, 0x13F, 0x63F};
  return channels >= 1 && channels <= 8 ? kMasks[channels] : 0;
}

// ---- Open record -------------------------------------------------------------------------
// Copied by value, strings included. The dialog fills deviceId, deviceName, sampleRate,
// channels, bufferFrames, bufferCount and window; everything else keeps its default.
struct AudioOpenParams {
  int32_t structSize = 84;                // always 84
  std::string deviceId = "Default Device";  // AudioDeviceInfo::identifier or a special name
  std::string deviceName;                 // the device list's text
  int32_t sampleRate = 0;                 // frames per second
  int32_t channels = 0;                   // 1..32
  int32_t reserved1 = 0;
  uint8_t reserved2 = 0;
  int32_t bufferFrames = 0;    // frames per device buffer and per callback block
  int32_t bufferCount = 0;     // device buffers in rotation
  int32_t fifoFrames = 0;      // non-zero: the port runs in FIFO mode with this many frames
  int32_t rawMode = 0;         // non-zero: device buffers reach the callback unconverted
  int32_t reserved3 = 0;
  int32_t bitsPerSample = 16;  // 16: signed 16-bit integers; 32: 32-bit floats
  uint8_t reserved4 = 0;
  uint8_t prefillOutput = 0;   // output: fill the playback buffers from the callback at open
  void* window = nullptr;      // the main dialog's window (HWND) for interfaces needing one

  // Every field zero, both strings empty: what a port holds when closed.
  static AudioOpenParams Zeroed();
};

// One entry of an interface's device list.
struct AudioDeviceInfo {
  std::string name;         // shown in the device list
  std::string identifier;   // stored in the settings, matched at Open
  int32_t deviceIndex = 0;  // the platform's device number
};

class CAudioInterface;
class AudioPort;

// Receives every device buffer an interface has ready: a captured buffer (bytes recorded)
// or a playback buffer to fill (its length). Interleaved frames in the format of the
// interface's params. Streaming thread; must not allocate or block on the window thread.
class AudioBufferSink {
 public:
  virtual ~AudioBufferSink() = default;
  virtual void OnBuffer(CAudioInterface* source, void* data, uint32_t bytes) = 0;
};

// Implemented by the main dialog. Called on the side's streaming thread under the port's
// lock (and on the window thread during an output prefill inside Open). Real-time rules.
class AudioStreamCallback {
 public:
  virtual ~AudioStreamCallback() = default;
  // Raw mode: a captured buffer / a playback buffer to fill, interleaved device frames.
  virtual void OnRawInput(AudioPort* port, void* data, uint32_t bytes) = 0;
  virtual void OnRawOutput(AudioPort* port, void* data, uint32_t bytes) = 0;
  // Normal mode: one buffer of `frames` 32-bit samples per channel, 16-bit scale (full
  // scale 32768). Output values are written to the device as their low 16 bits, so the
  // callback clamps them to -32768..32767.
  virtual void OnInputBlock(AudioPort* port, int32_t* const* channels, int32_t frames) = 0;
  virtual void OnOutputBlock(AudioPort* port, int32_t* const* channels, int32_t frames) = 0;
  // FIFO mode: after a buffer went into (input) or out of (output) the port's FIFO.
  virtual void OnFifoBlock(AudioPort* port) = 0;
};

// ---- The interface ---------------------------------------------------------------------
class CAudioInterface {
 public:
  static constexpr int32_t kErrorTextSize = 256;  // 255 characters + terminator

  explicit CAudioInterface(bool isInput) : isInput_(isInput) {}
  virtual ~CAudioInterface() = default;  // implementations close their device first
  CAudioInterface(const CAudioInterface&) = delete;
  CAudioInterface& operator=(const CAudioInterface&) = delete;

  // Copies params, opens the device and starts streaming. 0 = streaming; non-zero =
  // failed with errorText set (Wave: 2 = no device selected, 1 = anything else).
  virtual int32_t Open(const AudioOpenParams& params) = 0;
  // Stops streaming (the streaming thread has left when it returns), releases buffers and
  // the device. Safe when not open.
  virtual void Close() = 0;
  // Returns every queued device buffer at once, where the platform has such a step.
  virtual void Reset() = 0;
  virtual bool IsRunning() = 0;
  // Frames buffered on the device side while open, 0 when closed.
  virtual int32_t GetLatency() = 0;
  virtual int32_t GetBytesPerFrame() = 0;
  // Entries of the device list, including the default entry when offered.
  virtual int32_t GetDeviceCount() = 0;
  virtual void GetDeviceInfo(AudioDeviceInfo* info, int32_t index) = 0;
  virtual bool HasDefaultDevice() { return false; }
  virtual bool IsDefaultDeviceName(const char* /*identifier*/) { return false; }
  // True once the streaming thread stopped on a device error (IsRunning stays true).
  virtual bool HasFailed() = 0;

  bool IsInput() const { return isInput_; }
  // Copies at most size - 1 characters and terminates.
  void GetErrorText(char* buffer, int32_t size) const;
  const char* ErrorText() const { return errorText_; }
  void SetSink(AudioBufferSink* sink) { sink_ = sink; }
  AudioBufferSink* GetSink() const { return sink_; }
  void SetType(int32_t type) { type_ = type; }
  int32_t GetType() const { return type_; }
  const char* GetDirectionName() const { return isInput_ ? "input" : "output"; }
  void SetAllowDefaultDevice(bool allow) { allowDefaultDevice_ = allow; }
  bool GetAllowDefaultDevice() const { return allowDefaultDevice_; }
  const AudioOpenParams& GetParams() const { return params_; }

 protected:
  // printf-style; the result is cut to 255 characters. Window thread (formats).
  void SetErrorText(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

  const bool isInput_;
  char errorText_[kErrorTextSize] = {};
  AudioBufferSink* sink_ = nullptr;
  AudioOpenParams params_;
  bool allowDefaultDevice_ = true;
  int32_t type_ = kAudioTypeNone;
};
