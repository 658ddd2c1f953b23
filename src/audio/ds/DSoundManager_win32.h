// The playback half of the DirectSound interface: DSoundManager owns one DirectSound
// object and makes the streaming secondary buffer; DsStreamingSound keeps that buffer
// looping, filled half a buffer ahead of the play cursor through a DsFillCallback.
//
// Threads: DSoundManager, and DsStreamingSound's Reset/FillBufferWithDSound/Play/Stop, on
// the window thread while the side opens or closes. OnNotify on the interface's worker
// thread, one call per notification: one lock, one fill, one unlock, no allocation.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>

#include <atomic>
#include <cstdint>

#include "audio/ds/DsCore.h"

class WorkerThread;

// Asked for the bytes of one block (or, during the prefill, of a piece of at most one
// block that starts on a block boundary). Called on the window thread during the prefill
// and on the worker thread afterwards.
class DsFillCallback {
 public:
  virtual ~DsFillCallback() = default;
  virtual void OnFill(void* data, uint32_t bytes) = 0;
};

class DsStreamingSound {
 public:
  // Restore attempts 10 ms apart before a lost buffer is given up on the window thread.
  static constexpr int32_t kMaxRestoreTriesOutsideWorker = 200;
  static constexpr int32_t kBufferCount = 1;

  // Takes over `buffer` (released by the destructor).
  DsStreamingSound(IDirectSoundBuffer* buffer, uint32_t bufferBytes, uint32_t blockBytes,
                   DsFillCallback* fill, DWORD creationFlags);
  ~DsStreamingSound();
  DsStreamingSound(const DsStreamingSound&) = delete;
  DsStreamingSound& operator=(const DsStreamingSound&) = delete;

  // While `worker` runs, a lost buffer is restored for as long as it takes (a stop request
  // ends the attempts); without a running worker the attempts are bounded, so neither an
  // open nor a close can hang on a device that never gives the buffer back.
  void SetRecoveryWorker(const WorkerThread* worker) { recoveryWorker_ = worker; }
  // Bounds the worker's restoring too (0: only by its stop): a buffer that stays lost
  // longer than the side may go silent is a lost device, not a busy one.
  void SetWorkerRestoreLimit(int32_t tries) { workerRestoreLimit_ = tries; }

  // 1: the buffer was not lost (nothing done); 0: it was lost and has been restored
  // (*restored set); a failure code when the status could not be read or the restore
  // failed otherwise.
  HRESULT RecoverLostBuffer(IDirectSoundBuffer* buffer, bool* restored);
  // Zeros the whole buffer, then fills its first (length - length / 2) bytes from the
  // callback in pieces of at most one block.
  HRESULT FillBufferWithDSound(IDirectSoundBuffer* buffer);
  // Counters and last offset cleared, play position 0.
  HRESULT Reset();
  HRESULT Play(DWORD priority, DWORD flags);
  // A notification (the play cursor passed the middle of a block): fills, in ring order,
  // the blocks that are due from DirectSound's own cursors, up to half a buffer ahead of
  // the play cursor and never behind the write cursor (DsRefillTracker), so a late wake
  // catches up in order and a geometry inside DirectSound's play/write gap is seen as
  // late rather than written where it can no longer play. Skips the fill when the buffer
  // had been lost and was just restored.
  HRESULT OnNotify();
  HRESULT Stop();

  IDirectSoundBuffer* GetBuffer(int32_t index) const {
    return index >= 0 && index < kBufferCount ? buffers_[index] : nullptr;
  }
  uint32_t BufferBytes() const { return bufferBytes_; }
  uint32_t BlockBytes() const { return blockBytes_; }
  int32_t BlockCount() const { return static_cast<int32_t>(bufferBytes_ / blockBytes_); }
  // Byte offset of the block filled last, and the number of notification fills since Reset.
  uint32_t LastOffset() const { return lastOffset_.load(std::memory_order_relaxed); }
  uint32_t FillCount() const { return fillCount_.load(std::memory_order_relaxed); }
  uint32_t RestoreCount() const { return restoreCount_.load(std::memory_order_relaxed); }
  // Notifications that found the next block already behind the write cursor.
  uint32_t LateCount() const { return lateCount_.load(std::memory_order_relaxed); }

 private:
  IDirectSoundBuffer* PickIdleBuffer();
  bool KeepRestoring(int32_t tries) const;

  IDirectSoundBuffer* buffers_[kBufferCount] = {};
  uint32_t bufferBytes_;
  uint32_t blockBytes_;
  DsFillCallback* fill_;
  DWORD creationFlags_;
  const WorkerThread* recoveryWorker_ = nullptr;
  int32_t workerRestoreLimit_ = 0;
  std::atomic<uint32_t> lastOffset_{0};
  std::atomic<uint32_t> fillCount_{0};
  std::atomic<uint32_t> restoreCount_{0};
  std::atomic<uint32_t> lateCount_{0};
  DsRefillTracker refill_;  // started by the prefill, then the worker's only
};

class DSoundManager {
 public:
  DSoundManager() = default;
  ~DSoundManager();  // releases the DirectSound object
  DSoundManager(const DSoundManager&) = delete;
  DSoundManager& operator=(const DSoundManager&) = delete;

  // (Re)creates the DirectSound object for `device` (GUID_NULL: the default device) and
  // sets its cooperative level on `window`.
  HRESULT Initialize(const GUID& device, HWND window, DWORD cooperativeLevel);
  // Asks the primary buffer for this format (a hint for the device's own mixing format).
  // 32-bit samples are declared as IEEE float, like the streaming buffer.
  HRESULT SetPrimaryBufferFormat(int32_t channels, int32_t sampleRate, int32_t bitsPerSample);
  // A looping secondary buffer of blockCount x blockBytes bytes with one notification in
  // the middle of each block, event i for block i.
  HRESULT CreateStreaming(DsStreamingSound** sound, const WAVEFORMATEX* format,
                          DWORD creationFlags, const GUID& algorithm3d, int32_t blockCount,
                          uint32_t blockBytes, const HANDLE* events, DsFillCallback* fill);

  IDirectSound* GetDirectSound() const { return directSound_; }

 private:
  IDirectSound* directSound_ = nullptr;
};
