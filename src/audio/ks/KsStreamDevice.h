// One kernel-streaming stream: the enumeration of the direction's filters, the device
// list, the opened pin, N device buffers with their stream headers and events, and the
// worker thread whose buffer loop hands every completed buffer to the client and submits
// it again.
//
// A device whose pins stream only through the real-time model (one cyclic buffer shared
// with the hardware, the looped interface) gets the second loop: it follows the hardware
// position, woken by the driver's notification event or, where the driver has none, at
// the block period, and copies whole blocks between the client and the cyclic buffer,
// never closer to the position than a safe distance. A filter offering both kinds keeps
// the stream requests.
//
// Either loop waits with a bound: a request or position read the driver fails, or no
// completed buffer / no position progress for longer than max(500 ms, four times the
// buffered time), ends the loop with the side marked failed.
//
// Threads: construction, OpenDevice, StopStream and destruction on the window thread.
// The buffer loop runs on the worker and calls the client from there (real-time: the
// loop allocates nothing; each pass is one wait, one client call and one submission).
#pragma once

#include "KernelStreaming/KsAudio.h"
#include "KernelStreaming/KsFilterEnumerator.h"
#include "engine/CFifo.h"
#include "support/WorkerThread.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class CKsStreamDevice;

// The stream's callbacks, on its worker thread.
class KsStreamClient {
 public:
  virtual ~KsStreamClient() = default;
  // After each buffer has been handed to the driver.
  virtual void BufferDone(CKsStreamDevice* stream) = 0;
  // A captured buffer; false leaves it to the stream's own FIFO.
  virtual bool Captured(CKsStreamDevice* stream, void* data, uint32_t bytes) = 0;
  // A playback buffer to fill; false lets the stream fill it from its FIFO or silence.
  virtual bool Render(CKsStreamDevice* stream, void* data, uint32_t bytes) = 0;
};

class CKsStreamDevice : private WorkerBody {
 public:
  // Buffers beyond this do not fit one wait together with the wake event.
  static constexpr uint32_t kMaxBuffers = MAXIMUM_WAIT_OBJECTS - 1;
  static constexpr int32_t kErrorTextSize = 256;

  enum State : int32_t { kIdle = 0, kRunning = 1, kStopping = 2 };

  CKsStreamDevice(bool isInput, uint32_t bufferBytes, uint32_t bufferCount);
  ~CKsStreamDevice() override;
  CKsStreamDevice(const CKsStreamDevice&) = delete;
  CKsStreamDevice& operator=(const CKsStreamDevice&) = delete;

  // Finds the filter by device path or friendly name (case ignored), opens a pin with the
  // format and starts streaming. False with the error text set on failure.
  bool OpenDevice(const char* identifier, const WAVEFORMATEX* format);
  // Drains (output), stops the worker and the pin, releases pin and filters.
  void StopStream();

  // Window thread. The buffer loop never writes the text itself (that would race with a
  // reader); it raises writeFailed_, which selects the loop's fixed text.
  const char* GetErrorText() const {
    switch (loopFailure_.load(std::memory_order_acquire)) {
      case kWriteFailed: return "KS write failed!\n";
      case kRequestFailed: return isInput_ ? "KS capture request failed!\n" : "KS render request failed!\n";
      case kStalled: return "Device stopped delivering audio";
      case kPositionFailed: return "Device failed to report its position";
      default: return errorText_;
    }
  }
  void SetClient(KsStreamClient* client) { client_.store(client, std::memory_order_release); }

  bool IsStarted() const { return started_.load(std::memory_order_acquire); }
  bool HasError() const { return error_.load(std::memory_order_acquire); }
  int32_t GetState() const { return state_.load(std::memory_order_acquire); }
  bool IsInput() const { return isInput_; }
  const WorkerThread& Worker() const { return worker_; }
  // (friendly name, device path) per filter found at construction, in list order.
  const std::vector<std::pair<std::string, std::string>>& DeviceNames() const { return deviceNames_; }
  // Passes of the buffer loop, for tests that check it does not spin while stopping.
  uint64_t LoopPasses() const { return loopPasses_.load(std::memory_order_relaxed); }
  const CKsAudioPin* Pin() const { return pin_; }
  // Real-time streaming: whether the pin is a real-time one, the cyclic buffer granted,
  // whether the driver's notification event drives the loop (else it polls), and the
  // times the client fell behind the hardware position (render: the position reached
  // unwritten data; capture: the hardware overwrote unread data).
  bool IsRealTime() const { return realTime_; }
  uint32_t CyclicBufferBytes() const { return ringBytes_; }
  bool UsesNotifications() const { return notifying_; }
  uint32_t Underruns() const { return underruns_.load(std::memory_order_relaxed); }
  // How long the loop waits for progress before it calls the device failed.
  uint32_t StallTimeoutMs() const { return stallMs_; }

 private:
  void ThreadBody(WorkerThread& worker) override;
  void RequestLoop(WorkerThread& worker);
  void RealTimeLoop(WorkerThread& worker);
  // Opens a real-time pin of the found filter and sets up its cyclic buffer; false with
  // the error text set.
  bool OpenRealTimePin(CKsFilter* filter, const WAVEFORMATEX* format);
  void SetNoPinText(CKsFilter* filter);
  void Fail(int32_t why);
  void CopyToRing(uint64_t at, const uint8_t* from, uint32_t bytes);
  void CopyFromRing(uint64_t at, uint8_t* to, uint32_t bytes);
  void ZeroRing(uint64_t from, uint64_t to);
  void Enumerate();
  void SetErrorText(const char* text);
  void SignalBufferEvents();
  bool WaitAllBuffers(DWORD timeoutMs);
  void Release();

  const bool isInput_;
  const uint32_t bufferBytes_;
  const uint32_t bufferCount_;
  std::atomic<int32_t> state_{kIdle};
  std::atomic<bool> started_{false};
  std::atomic<bool> closing_{false};
  std::atomic<bool> error_{false};
  // Why the buffer loop stopped, for the error text (the loop never writes the text).
  enum LoopFailure : int32_t {
    kNoLoopFailure = 0, kWriteFailed = 1, kRequestFailed = 2, kStalled = 3, kPositionFailed = 4
  };
  std::atomic<int32_t> loopFailure_{kNoLoopFailure};
  char errorText_[kErrorTextSize] = {};

  uint8_t* buffers_ = nullptr;  // bufferCount_ x bufferBytes_, zero-filled
  std::vector<KSSTREAM_HEADER> headers_;
  std::vector<OVERLAPPED> overlapped_;
  std::vector<HANDLE> events_;  // [0] wake, [i + 1] buffer i
  int32_t current_ = -1;        // worker thread only
  // The buffer the driver completes next: requests complete in the order they were
  // submitted, so buffers are served in ring order from here (worker thread only).
  uint32_t next_ = 0;
  // Per buffer: 1 once it has been submitted, so its completion status and DataUsed mean
  // something (the buffers that start out free were never with the driver).
  std::vector<uint8_t> submitted_;

  CKsFilterEnumerator* enumerator_ = nullptr;
  std::vector<std::pair<std::string, std::string>> deviceNames_;
  CKsAudioPin* pin_ = nullptr;
  bool pinOwned_ = false;       // a render pin belongs to the stream, a capture pin to its filter
  WAVEFORMATEXTENSIBLE format_ = {};
  CFifo fifo_;
  WorkerThread worker_;
  std::mutex stopLock_;
  std::atomic<KsStreamClient*> client_{nullptr};
  std::atomic<uint64_t> loopPasses_{0};
  uint32_t stallMs_ = 500;

  // Real-time streaming (set up by OpenDevice, used by the worker).
  bool realTime_ = false;
  uint8_t* ring_ = nullptr;  // the driver's mapping, valid while the pin is open
  uint32_t ringBytes_ = 0;
  bool notifying_ = false;   // the notification event is registered
  HANDLE notifyEvent_ = nullptr;
  HANDLE positionEvent_ = nullptr;
  OVERLAPPED positionOv_ = {};
  KSPROPERTY positionRequest_ = {};
  KSAUDIO_POSITION positionReply_ = {};
  std::atomic<uint32_t> underruns_{0};
};
