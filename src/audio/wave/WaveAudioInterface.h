// CWaveAudioInterface: the audio interface over the multimedia wave API (waveIn for
// capture, waveOut for playback). Opens one device with 16-bit PCM in the format of the
// open record, keeps bufferCount buffers of bufferFrames frames in rotation with the
// driver, and runs the streaming loop on its own WorkerThread at time-critical priority:
// the driver signals the worker's stop event whenever a buffer completes, the loop hands
// the buffer to the sink (AudioPort::OnBuffer) and gives it back, strictly in queue order.
//
// Threads: Open/Close/Reset and the device list on the window thread under the port's
// lock; the loop on the worker thread. The loop allocates nothing and logs only through
// LogPrintf (silent unless a sink is on). Windows build only.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdint>

#include "audio/AudioInterface.h"
#include "audio/wave/WaveDriver_win32.h"
#include "support/WorkerThread.h"

class CWaveAudioInterface : public CAudioInterface, public WorkerBody {
 public:
  static constexpr int32_t kMaxBuffers = 36;
  // Highest rate offered to the driver; higher rates fail the open with the format text.
  static constexpr int32_t kMaxSampleRate = 384000;

  // driver: null for the system's winmm; tests pass their own (not owned).
  explicit CWaveAudioInterface(bool isInput, WaveDriver* driver = nullptr);
  ~CWaveAudioInterface() override;

  int32_t Open(const AudioOpenParams& params) override;
  void Close() override;
  void Reset() override;
  bool IsRunning() override { return running_.load(std::memory_order_acquire) != 0; }
  int32_t GetLatency() override;
  int32_t GetBytesPerFrame() override { return bytesPerFrame_; }
  int32_t GetDeviceCount() override;
  void GetDeviceInfo(AudioDeviceInfo* info, int32_t index) override;
  bool HasDefaultDevice() override { return true; }
  bool IsDefaultDeviceName(const char* identifier) override { return IsDefaultDeviceNameText(identifier); }
  bool HasFailed() override { return failed_.load(std::memory_order_acquire); }

  // The streaming loop (worker thread).
  void ThreadBody(WorkerThread& worker) override;

  // For tests: the worker, to see its thread and priority.
  const WorkerThread& Worker() const { return worker_; }

 private:
  // Unprepares and frees headers [0, count), resets the device first when asked.
  void ReleaseBuffers(int32_t count);
  void CloseDevice();
  HANDLE Handle() const { return isInput_ ? waveIn_ : waveOut_; }

  WorkerThread worker_;
  WAVEHDR headers_[kMaxBuffers] = {};
  HANDLE waveOut_ = nullptr;  // HWAVEOUT
  HANDLE waveIn_ = nullptr;   // HWAVEIN
  std::atomic<int32_t> running_{0};
  int32_t bytesPerFrame_ = 0;
  std::atomic<bool> failed_{false};
  int32_t bufferCount_ = 0;  // headers in rotation while open
  WaveDriver* driver_;
};

// What the program's interface factory calls for type 1.
CAudioInterface* CreateWaveAudioInterface(bool isInput);
