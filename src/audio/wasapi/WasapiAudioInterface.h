// CWasapiAudioInterface: the audio interface over the Windows audio session API
// (interface type 4, "WASAPI" shared mode; type 5, "WASAPI Excl" exclusive mode). Lists
// the active endpoints of the side's direction through the device enumerator (the
// default entry first; on the input side also one loopback entry per render endpoint),
// and streams event-driven: the worker waits on the stream's event (with a bound), then
// captures or renders what one period holds, in blocks of bufferFrames frames through
// the port (WasapiBlockStager).
//
// Threads: construction, Open, Close and the device list on the window thread, under the
// port's lock. Every audio-client object is created, used and released on the worker,
// which runs in the multithreaded apartment and is registered with MMCSS ("Pro Audio")
// at priority 15; Open waits (bounded) for the worker to report the device opened. The
// loop allocates nothing and logs only through LogPrintf (silent unless a sink is on).
// Windows build only (the header carries no COM types).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/AudioInterface.h"
#include "audio/wasapi/WasapiCore.h"
#include "support/WorkerThread.h"

// Type ids kAudioTypeWasapi (shared) and kAudioTypeWasapiExclusive, from the interface
// table, are the ones the program's factory maps to this interface.

class CWasapiAudioInterface : public CAudioInterface, private WorkerBody {
 public:
  // How long Open waits for the worker to open the endpoint before it gives up.
  static constexpr uint32_t kOpenTimeoutMs = 10000;
  static constexpr uint64_t kEnumerationReuseMs = 250;

  CWasapiAudioInterface(bool isInput, bool exclusive);
  ~CWasapiAudioInterface() override;  // Close

  // 0 streaming; 2 no device selected; 1 any other failure. errorText says why.
  int32_t Open(const AudioOpenParams& params) override;
  void Close() override;
  void Reset() override {}
  bool IsRunning() override { return opened_.load(std::memory_order_acquire); }
  int32_t GetLatency() override;
  int32_t GetBytesPerFrame() override { return bytesPerFrame_; }
  // Enumerates again, unless the last enumeration is less than kEnumerationReuseMs old.
  int32_t GetDeviceCount() override;
  void GetDeviceInfo(AudioDeviceInfo* info, int32_t index) override;
  bool HasDefaultDevice() override { return true; }
  bool IsDefaultDeviceName(const char* identifier) override { return IsDefaultDeviceNameText(identifier); }
  bool HasFailed() override { return failed_.load(std::memory_order_acquire); }

  bool IsExclusive() const { return exclusive_; }
  // What the last successful Open negotiated (for the report and tests).
  const WasapiFormat& DeviceFormat() const { return deviceFormat_; }
  int32_t DeviceBufferFrames() const { return deviceBufferFrames_; }
  int32_t StreamLatencyFrames() const { return streamLatencyFrames_; }
  int64_t PeriodHns() const { return periodHns_; }
  bool UsesAutoConversion() const { return autoConvert_; }
  bool MmcssRegistered() const { return mmcss_.load(std::memory_order_relaxed); }
  // The code that stopped the loop (0 while none did) and the blocks exchanged since Open.
  int32_t LoopErrorCode() const { return loopError_.load(std::memory_order_relaxed); }
  uint64_t LoopBlockCount() const { return loopBlocks_.load(std::memory_order_relaxed); }
  // Capture packets the engine flagged as following a gap (it dropped frames), since Open.
  uint32_t CaptureDiscontinuities() const { return discontinuities_.load(std::memory_order_relaxed); }
  const WorkerThread& Worker() const { return worker_; }

 private:
  struct Stream;  // the COM objects of one open stream (worker thread only)

  void ThreadBody(WorkerThread& worker) override;
  int32_t OpenOnWorker(Stream& s);
  void StreamLoop(WorkerThread& worker, Stream& s);
  bool ServiceCapture(Stream& s, int32_t* hr);
  bool ServiceRender(Stream& s, int32_t* hr);
  void Fail(int32_t hr, const char* what);
  // The worker's open failure text: its own buffer, copied into errorText by Open once
  // the worker has reported, so an Open that timed out never shares errorText with it.
  void SetOpenError(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

  const bool exclusive_;
  std::vector<WasapiEndpoint> endpoints_;  // of the last enumeration
  std::vector<WasapiEndpoint> loopback_;   // render endpoints, input side only
  uint64_t enumeratedAtMs_ = 0;            // GetTickCount64 of the last enumeration
  WasapiBlockStager stager_;
  WasapiFormat deviceFormat_;
  WasapiSampleType portType_;
  int32_t deviceBufferFrames_ = 0;
  int32_t renderTargetFrames_ = 0;  // shared playback: how full the loop keeps the buffer
  int32_t streamLatencyFrames_ = 0;
  int64_t periodHns_ = 0;
  bool autoConvert_ = false;
  int32_t bytesPerFrame_ = 0;
  int32_t openResult_ = 1;     // written by the worker before it signals openDone_
  char openError_[kErrorTextSize] = {};  // likewise
  void* openDone_ = nullptr;   // manual-reset event (HANDLE)
  std::atomic<bool> opened_{false};
  std::atomic<bool> failed_{false};
  std::atomic<bool> mmcss_{false};
  std::atomic<int32_t> loopError_{0};
  std::atomic<uint64_t> loopBlocks_{0};
  std::atomic<uint32_t> discontinuities_{0};
  WorkerThread worker_;
};

// What the program's interface factory calls for types 4 and 5.
CAudioInterface* CreateWasapiAudioInterface(bool isInput, int32_t type);
