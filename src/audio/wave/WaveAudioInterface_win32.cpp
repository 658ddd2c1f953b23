// CWaveAudioInterface: device list, open with event notification on the worker's stop
// event, buffer rotation in queue order, prefill, close.
#include "audio/wave/WaveAudioInterface.h"

#include <mmreg.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "engine/LogPrintf.h"
#include "engine/MmClock.h"

namespace {
// Device messages asking for the device-interface path (size in bytes, then the path).
constexpr UINT kQueryInterfaceSize = 2061;
constexpr UINT kQueryInterface = 2060;
// Device-interface paths run to a few hundred characters; a driver reporting more than
// this is not believed (the product name stays the identifier).
constexpr ULONG kMaxInterfacePathBytes = 8192;
// KSDATAFORMAT_SUBTYPE_PCM, spelled out so this library needs no GUID library.
constexpr GUID kSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// The driver sets WHDR_DONE from its own thread before it signals the event.
DWORD LoadFlags(WAVEHDR& h) { return std::atomic_ref<DWORD>(h.dwFlags).load(std::memory_order_acquire); }
void ClearDone(WAVEHDR& h) { std::atomic_ref<DWORD>(h.dwFlags).fetch_and(~static_cast<DWORD>(WHDR_DONE)); }
}  // namespace

CAudioInterface* CreateWaveAudioInterface(bool isInput) { return new CWaveAudioInterface(isInput); }

CWaveAudioInterface::CWaveAudioInterface(bool isInput, WaveDriver* driver)
    : CAudioInterface(isInput), driver_(driver != nullptr ? driver : SystemWaveDriver()) {
  type_ = kAudioTypeWave;
}

CWaveAudioInterface::~CWaveAudioInterface() { Close(); }

int32_t CWaveAudioInterface::GetLatency() {
  if (!IsRunning()) return 0;
  return params_.fifoFrames + (params_.bufferCount - 1) * params_.bufferFrames;
}

int32_t CWaveAudioInterface::GetDeviceCount() {
  return (allowDefaultDevice_ ? 1 : 0) + static_cast<int32_t>(driver_->NumDevs(isInput_));
}

void CWaveAudioInterface::GetDeviceInfo(AudioDeviceInfo* info, int32_t index) {
  if (info == nullptr) return;
  if (allowDefaultDevice_ && index == 0) {
    info->name = "Default Device";
    info->identifier = "WAVE_MAPPER";
    return;
  }
  const int32_t n = allowDefaultDevice_ ? index - 1 : index;
  info->deviceIndex = n;
  info->name.clear();
  if (n < 0) {
    info->identifier.clear();
    return;
  }
  const UINT device = static_cast<UINT>(n);
  driver_->GetProductName(isInput_, device, &info->name);
  info->identifier = info->name;

  // Prefer the device-interface path: it stays the same when devices come and go, while
  // product names may repeat.
  ULONG size = 0;
  if (driver_->DeviceMessage(isInput_, device, kQueryInterfaceSize, reinterpret_cast<DWORD_PTR>(&size), 0) !=
          MMSYSERR_NOERROR ||
      size == 0 || size > kMaxInterfacePathBytes)  // a garbage size must not become an allocation
    return;
  std::vector<WCHAR> path(size / sizeof(WCHAR) + 1, 0);
  if (driver_->DeviceMessage(isInput_, device, kQueryInterface, reinterpret_cast<DWORD_PTR>(path.data()), size) !=
      MMSYSERR_NOERROR)
    return;
  std::string narrow;
  for (size_t i = 0; i + 1 < size && i < path.size() && path[i] != 0; ++i)
    narrow += static_cast<char>(path[i] & 0xff);
  if (!narrow.empty()) info->identifier = narrow;
}

int32_t CWaveAudioInterface::Open(const AudioOpenParams& params) {
  failed_.store(false, std::memory_order_release);
  params_ = params;
  const char* dir = GetDirectionName();
  const char* name = params_.deviceId.c_str();

  if (IsNoDeviceName(name)) {
    SetErrorText(isInput_ ? "No Input Device Selected" : "No Output Device Selected");
    return 2;
  }
  if (IsRunning()) {  // the port checks this too; a direct caller must not leak a device
    SetErrorText("Already Running!");
    return 1;
  }

  UINT device = WAVE_MAPPER;
  if (IsDefaultDeviceNameText(name)) {
    if (!allowDefaultDevice_) {
      SetErrorText("Default %s device not allowed - must select explicitly.", dir);
      return 1;
    }
  } else {
    bool found = false;
    const int32_t count = GetDeviceCount();
    AudioDeviceInfo info;
    for (int32_t i = 0; i < count && !found; ++i) {
      info = AudioDeviceInfo();
      GetDeviceInfo(&info, i);
      if (EqualsIgnoreCase(info.identifier.c_str(), name) || EqualsIgnoreCase(info.name.c_str(), name)) {
        device = static_cast<UINT>(info.deviceIndex);
        found = true;
      }
    }
    if (!found) {
      SetErrorText("Couldn't find %s device \"%s\"", dir, name);
      return 1;
    }
  }

  // The header array has 36 slots and the loop steps modulo the count.
  if (params_.bufferCount < 1 || params_.bufferCount > kMaxBuffers) {
    SetErrorText("Invalid buffer count %i (1 to %i)", static_cast<int>(params_.bufferCount),
                 static_cast<int>(kMaxBuffers));
    return 1;
  }

  WAVEFORMATEXTENSIBLE extensible{};
  WAVEFORMATEX& format = extensible.Format;
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = static_cast<WORD>(params_.channels);
  format.nSamplesPerSec = static_cast<DWORD>(params_.sampleRate);
  format.wBitsPerSample = static_cast<WORD>(params_.bitsPerSample);
  format.nBlockAlign = static_cast<WORD>(params_.bitsPerSample * params_.channels / 8);
  format.nAvgBytesPerSec = static_cast<DWORD>(params_.bitsPerSample) * static_cast<DWORD>(params_.channels) *
                           static_cast<DWORD>(params_.sampleRate) / 8;
  format.cbSize = 0;
  bytesPerFrame_ = format.nBlockAlign;
  // Windows wants more than two channels described with their speaker positions; plain
  // PCM stays the fallback for drivers that refuse the extensible form.
  const bool tryExtensible = params_.channels > 2;
  if (tryExtensible) {
    format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    extensible.Samples.wValidBitsPerSample = format.wBitsPerSample;
    extensible.dwChannelMask = StandardChannelMask(params_.channels);
    extensible.SubFormat = kSubtypePcm;
  }

  // Formats no wave device takes are refused here rather than handed to the driver: under
  // Wine, the PulseAudio back end aborts the whole process on rates it cannot represent
  // (seen from 768000 Hz on) instead of failing the open.
  HANDLE handle = nullptr;
  const HANDLE event = static_cast<HANDLE>(worker_.GetStopEvent());
  bool opened = false;
  if (params_.channels >= 1 && params_.bitsPerSample >= 8 && params_.sampleRate >= 1 &&
      params_.sampleRate <= kMaxSampleRate) {
    opened = driver_->Open(isInput_, &handle, device, &format, event) == MMSYSERR_NOERROR;
    if (!opened && tryExtensible) {
      format.wFormatTag = WAVE_FORMAT_PCM;
      format.cbSize = 0;
      opened = driver_->Open(isInput_, &handle, device, &format, event) == MMSYSERR_NOERROR;
    }
  }
  if (!opened) {
    SetErrorText("ERROR - Couldn't open %i hz, %i ch, %i bits", static_cast<int>(params_.sampleRate),
                 static_cast<int>(params_.channels), static_cast<int>(params_.bitsPerSample));
    bytesPerFrame_ = 0;
    return 1;
  }
  (isInput_ ? waveIn_ : waveOut_) = handle;

  bufferCount_ = params_.bufferCount;
  const DWORD length = static_cast<DWORD>(bytesPerFrame_) * static_cast<DWORD>(params_.bufferFrames);
  for (int32_t i = 0; i < bufferCount_; ++i) {
    WAVEHDR& h = headers_[i];
    std::memset(&h, 0, sizeof(h));
    char* data = new (std::nothrow) char[length]();
    bool ok = data != nullptr;
    if (ok) {
      h.lpData = data;
      h.dwBufferLength = length;
      h.dwUser = static_cast<DWORD_PTR>(i);
      ok = driver_->Prepare(isInput_, handle, &h) == MMSYSERR_NOERROR;
    }
    if (!ok) {
      SetErrorText("Error: Wave buffer preparation failed\n");
    } else {
      // Buffer 0 always starts silent: writing it starts playback, and the sink should
      // not be asked for audio before the stream exists.
      if (!isInput_ && params_.prefillOutput != 0 && i > 0 && sink_ != nullptr) sink_->OnBuffer(this, h.lpData, length);
      ok = driver_->Queue(isInput_, handle, &h) == MMSYSERR_NOERROR;
      if (!ok) SetErrorText("Error: Wave buffer driver handoff failed\n");
    }
    if (!ok) {
      // Give back everything handed over so far, and the device itself: a failed open
      // leaves nothing open behind it.
      driver_->Reset(isInput_, handle);
      ReleaseBuffers(i + 1);
      CloseDevice();
      return 1;
    }
  }

  if (isInput_ && driver_->StartInput(handle) != MMSYSERR_NOERROR) {
    SetErrorText("ERROR - Couldn't start recording on the %s device", dir);
    driver_->Reset(isInput_, handle);
    ReleaseBuffers(bufferCount_);
    CloseDevice();
    return 1;
  }

  worker_.SetBody(this);
  worker_.SetPriority(WorkerThread::kTimeCriticalPriority);
  if (worker_.Start() != 0) {
    // Nobody would serve the buffers: refuse the stream instead of reporting it running.
    SetErrorText("Couldn't start the %s streaming thread: %s", dir, worker_.StartFailureText());
    driver_->Halt(isInput_, handle);
    driver_->Reset(isInput_, handle);
    ReleaseBuffers(bufferCount_);
    CloseDevice();
    return 1;
  }
  running_.store(1, std::memory_order_release);
  return 0;
}

void CWaveAudioInterface::ReleaseBuffers(int32_t count) {
  const HANDLE handle = Handle();
  for (int32_t i = 0; i < count && i < kMaxBuffers; ++i) {
    WAVEHDR& h = headers_[i];
    // Unprepare before freeing: the driver may still refer to the memory it prepared.
    if (h.dwFlags & WHDR_PREPARED) driver_->Unprepare(isInput_, handle, &h);
    delete[] h.lpData;
    std::memset(&h, 0, sizeof(h));
  }
}

void CWaveAudioInterface::CloseDevice() {
  const HANDLE handle = Handle();
  if (handle != nullptr) driver_->Close(isInput_, handle);
  waveIn_ = nullptr;
  waveOut_ = nullptr;
  bytesPerFrame_ = 0;
  bufferCount_ = 0;
}

void CWaveAudioInterface::Close() {
  if (IsRunning()) {
    const HANDLE handle = Handle();
    driver_->Halt(isInput_, handle);
    // The loop must be gone before the buffers go back and are freed.
    worker_.Stop();
    Reset();
    ReleaseBuffers(bufferCount_);
    CloseDevice();
    running_.store(0, std::memory_order_release);
  }
  waveIn_ = nullptr;
  waveOut_ = nullptr;
}

void CWaveAudioInterface::Reset() {
  const HANDLE handle = Handle();
  if (handle != nullptr) driver_->Reset(isInput_, handle);
}

void CWaveAudioInterface::ThreadBody(WorkerThread& worker) {
  const HANDLE handle = Handle();
  const int32_t count = bufferCount_;
  const uint32_t stallMs = StallLimitMs(params_);
  // Woken by every completion; the period only bounds how late a stall is seen.
  const uint32_t periodMs = stallMs / 5;
  uint32_t lastServed = MmTimeMs();
  bool served = false;
  int32_t idx = 0;
  // Open queued (and started) the device before this thread ran, and the worker's start
  // cleared the event the driver signals: buffers done in that window left no signal.
  // So the done flags are looked at once before the first wait.
  bool pass = worker.IsRunning();
  for (; pass; pass = worker.Wait(periodMs)) {
    // Strictly in queue order: a buffer done out of turn waits for the earlier ones.
    while ((LoadFlags(headers_[idx]) & WHDR_DONE) != 0 && worker.IsRunning()) {
      WAVEHDR& h = headers_[idx];
      // The device delivered: the stall clock starts again from here, before the sink's
      // work on the buffer (which is ours, not the device's).
      lastServed = MmTimeMs();
      served = true;
      if (sink_ != nullptr) sink_->OnBuffer(this, h.lpData, isInput_ ? h.dwBytesRecorded : h.dwBufferLength);
      ClearDone(h);
      const MMRESULT r = driver_->Queue(isInput_, handle, &h);
      if (r != MMSYSERR_NOERROR) {
        // The text is written before the flag is published; the window thread reads it
        // only after it saw the flag.
        SetErrorText("%s failed with error %u", isInput_ ? "waveInAddBuffer" : "waveOutWrite",
                     static_cast<unsigned>(r));
        LogPrintf("AI_Wave thread: %s\n", errorText_);
        failed_.store(true, std::memory_order_release);
        return;
      }
      idx = (idx + 1) % count;
    }
    // A removed device often completes nothing more and reports nothing either.
    const uint32_t limit = served ? stallMs : std::max(stallMs, kFirstBufferLimitMs);
    if (worker.IsRunning() && MmTimeMs() - lastServed > limit) {
      SetErrorText("Device stopped delivering audio");
      LogPrintf("AI_Wave thread: no buffer for %u ms\n", static_cast<unsigned>(stallMs));
      failed_.store(true, std::memory_order_release);
      return;
    }
  }
  LogPrintf("thread ending\n");
}
