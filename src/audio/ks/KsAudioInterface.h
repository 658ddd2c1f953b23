// The Kernel Streaming audio interface (type 3, "KS"): 16-bit PCM straight to or from a
// render or capture pin of an audio driver. Lists the kernel-streaming audio devices of its
// direction, opens one by identifier (device path or friendly name) as
// WAVEFORMATEXTENSIBLE and falls back to plain PCM, and hands every device buffer to its
// sink from the stream's worker thread.
//
// Threads: every CAudioInterface operation on the window thread (under the port's lock);
// Captured/Render/BufferDone on the stream's worker (real-time: one sink call each).
#pragma once

#include "audio/AudioInterface.h"
#include "audio/ks/KsStreamDevice.h"

class CKsAudioInterface : public CAudioInterface, private KsStreamClient {
 public:
  explicit CKsAudioInterface(bool isInput);
  ~CKsAudioInterface() override;

  int32_t Open(const AudioOpenParams& params) override;
  void Close() override;
  void Reset() override {}
  bool IsRunning() override;
  int32_t GetLatency() override;
  int32_t GetBytesPerFrame() override { return bytesPerFrame_; }
  int32_t GetDeviceCount() override;
  void GetDeviceInfo(AudioDeviceInfo* info, int32_t index) override;
  bool HasFailed() override;

  // The open stream, for tests and diagnostics (null when closed).
  const CKsStreamDevice* Stream() const { return stream_; }

 private:
  void BufferDone(CKsStreamDevice* stream) override;
  bool Captured(CKsStreamDevice* stream, void* data, uint32_t bytes) override;
  bool Render(CKsStreamDevice* stream, void* data, uint32_t bytes) override;
  CKsStreamDevice* NewStream(uint32_t bufferBytes, uint32_t bufferCount);
  void EnsureListing();

  CKsStreamDevice* stream_ = nullptr;   // from an open attempt until Close
  CKsStreamDevice* listing_ = nullptr;  // built on the first device-list request
  bool opened_ = false;
  int32_t bytesPerFrame_ = 0;
};

// Channel mask for the extensible format: 1 front centre, 2 front pair, 6 "5.1" (0x3F),
// 8 "7.1" (0xFF), anything else 0 (no speaker assignment).
DWORD KsChannelMask(int32_t channels);
