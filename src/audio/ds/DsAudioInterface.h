// CAudioInterface for DirectSound (interface type 2, "DS"). Lists the capture or playback
// devices by GUID, and streams through one looping DirectSound buffer per side: a capture
// buffer whose notifications mark the end of each block, or a secondary buffer (through
// DSoundManager / DsStreamingSound) whose notifications mark the middle of each block and
// which is refilled half a buffer ahead of the play cursor.
//
// Threads: construction, Open, Close and the device-list operations on the window thread
// (under the owning port's lock). The notification loop runs on the interface's worker at
// priority 15 and is the only caller of the sink once Open has returned; the output
// prefill calls the sink on the opening thread before the worker starts. The loop
// allocates nothing and logs only through LogPrintf (silent unless a sink is on).
//
// Windows only (the header itself carries no DirectSound types).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/AudioInterface.h"
#include "audio/ds/DsCore.h"
#include "support/WorkerThread.h"

struct IDirectSoundCapture;
struct IDirectSoundCaptureBuffer;
struct IDirectSoundNotify;
class DSoundManager;
class DsStreamingSound;

class CDsAudioInterface : public CAudioInterface, private WorkerBody {
 public:
  static constexpr int32_t kEventSlots = kDsMaxBlocks;

  explicit CDsAudioInterface(bool isInput);  // initialises COM on this thread
  ~CDsAudioInterface() override;             // Close, then the device list is emptied

  // 0 streaming; 1 failure; 2 no device selected. errorText says why.
  int32_t Open(const AudioOpenParams& params) override;
  void Close() override;
  void Reset() override {}
  bool IsRunning() override { return opened_.load(std::memory_order_acquire); }
  // fifoFrames + (bufferCount / 2) x bufferFrames while open, else 0.
  int32_t GetLatency() override;
  int32_t GetBytesPerFrame() override { return bytesPerFrame_; }
  // Enumerates again (under the process-wide DirectSound enumeration lock).
  int32_t GetDeviceCount() override;
  void GetDeviceInfo(AudioDeviceInfo* info, int32_t index) override;
  bool HasDefaultDevice() override { return true; }
  bool IsDefaultDeviceName(const char* /*identifier*/) override { return false; }
  bool HasFailed() override { return failed_.load(std::memory_order_acquire); }

  // The devices of the last enumeration, in enumeration order.
  const std::vector<DsDeviceEntry>& Devices() const { return devices_; }
  // Code of the block exchange that stopped the loop (0 while none failed).
  int32_t LoopErrorCode() const { return loopError_.load(std::memory_order_relaxed); }
  // Blocks handed to the sink by the notification loop since Open.
  uint32_t LoopBlockCount() const { return loopBlocks_.load(std::memory_order_relaxed); }
  // The GUID the last Open asked DirectSound for (all zero: the default device).
  const DsGuid& OpenedGuid() const { return openedGuid_; }
  // The worker running the notification loop (to see its thread and priority).
  const WorkerThread& Worker() const { return worker_; }
  // The playback stream while an output is open (null otherwise); for diagnostics.
  DsStreamingSound* GetStreamingSound() const { return sound_.get(); }

 private:
  class FillForwarder;

  void ThreadBody(WorkerThread& worker) override;
  int32_t OpenInput();
  int32_t OpenOutput();
  int32_t ExchangeCaptureBlock(int32_t block);
  void ReleaseObjects();
  void CloseEvents();
  void ForwardFill(void* data, uint32_t bytes);

  std::vector<DsDeviceEntry> devices_;
  // Input side.
  IDirectSoundCapture* capture_ = nullptr;
  IDirectSoundCaptureBuffer* captureBuffer_ = nullptr;
  IDirectSoundNotify* captureNotify_ = nullptr;
  // Output side.
  std::unique_ptr<DSoundManager> manager_;
  std::unique_ptr<DsStreamingSound> sound_;
  std::unique_ptr<FillForwarder> fill_;

  DsWaveFormat format_;
  DsGuid openedGuid_;
  uint32_t blockBytes_ = 0;
  uint32_t captureBytes_ = 0;
  int32_t blockCount_ = 0;
  void* events_[kEventSlots] = {};  // auto-reset events (HANDLE), made on demand
  std::atomic<bool> opened_{false};
  std::atomic<bool> failed_{false};
  std::atomic<int32_t> loopError_{0};
  std::atomic<uint32_t> loopBlocks_{0};
  int32_t bytesPerFrame_ = 0;
  uint32_t comThread_ = 0;    // thread whose COM initialisations this object balances
  int32_t comInitCount_ = 0;  // successful initialisations on that thread
  WorkerThread worker_;
};
