// One side of the bridge (capture or playback) as the main dialog holds it: creates the
// interface of the chosen type, fills and reads the device list, opens and closes the
// side, and converts between the device's interleaved buffers and the dialog's blocks of
// one 32-bit buffer per channel (16-bit scale).
//
// Threads: everything on the window thread except OnBuffer, which runs on the interface's
// streaming thread (and on the window thread during an output prefill inside Open).
// A re-entrant lock is held around every callback and every open, close or interface
// change, so the callback never runs while the side opens, closes or changes interface.
// OnBuffer is real-time safe: the channel buffers exist from Open on, it allocates
// nothing and logs only through LogPrintf (silent unless a sink is on).
//
// Close never deadlocks against a streaming thread that is waiting for the lock: Close
// clears `enabled` before it takes the lock, and OnBuffer only try-locks, polling `enabled`
// in between and giving up as soon as it sees it cleared. The interface's Close (which
// joins its thread) therefore always finds the thread able to leave, and the channel
// buffers are freed only after that, under the lock, with `enabled` re-checked by any
// callback that gets the lock later.
//
// Interfaces are made by a factory the program installs (SetInterfaceFactory), so this
// library does not depend on the Wave, DirectSound or Kernel Streaming libraries.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "audio/AudioInterface.h"
#include "audio/DeviceList.h"

class CFifo;

// Makes the interface for type 1 (Wave), 2 (DirectSound) or 3 (Kernel Streaming);
// returns null for a type it does not know. The port sets type, sink and
// allowDefaultDevice on what it gets.
using AudioInterfaceFactory = CAudioInterface* (*)(bool isInput, int32_t type);

class AudioPort : public AudioBufferSink {
 public:
  static constexpr int32_t kMaxChannels = 32;
  static constexpr int32_t kErrorTextSize = 256;
  static constexpr intptr_t kDisableItemData = -2;

  AudioPort();
  ~AudioPort() override;  // Destroy
  AudioPort(const AudioPort&) = delete;
  AudioPort& operator=(const AudioPort&) = delete;

  // Process-wide; install before the first Create. Returns the factory installed before.
  static AudioInterfaceFactory SetInterfaceFactory(AudioInterfaceFactory factory);
  static AudioInterfaceFactory GetInterfaceFactory();

  void SetCallback(AudioStreamCallback* callback) { callback_.store(callback, std::memory_order_release); }
  // Destroys the current interface, then makes one of the type (none for unknown types).
  void Create(bool isInput, int32_t type);
  // Closes (when running) and deletes the interface.
  void Destroy();

  // Refills the list: an optional "Disable" entry (datum -2), then the interface's
  // devices (datum = index); selects the entry whose identifier equals `saved`, or the
  // default entry when `saved` names the default device. Count of entries; -1 without
  // interface ("Must Create First"); 0 without a list.
  int32_t FillDeviceList(DeviceList* list, bool withDisableEntry, const char* saved);
  // 1 and the selected device's identifier; 0 with no usable selection ("Disable" is
  // copied for the Disable entry); -1 without interface.
  int32_t GetSelectedDevice(const DeviceList* list, char* buffer, int32_t size);

  // 0 streaming; 1 from the port's own checks, else the interface's result. errorText
  // says why on failure.
  int32_t Open(const AudioOpenParams& params);
  void Close();

  const char* GetErrorText() const { return errorText_; }
  const AudioOpenParams& GetParams() const { return params_; }
  // Short type name + "Rec"/"Play" + suffix, e.g. "KSRecX"; "MustCreateFirst" without an
  // interface. The text is valid until the next call on this thread.
  const char* GetName(const char* suffix) const;
  bool IsInput() const;
  bool HasInterface() const { return iface_ != nullptr; }
  // The owned interface (null when none), for latency, failure and device-list queries.
  CAudioInterface* GetInterface() const { return iface_; }
  // The FIFO of FIFO mode (null otherwise); use it from OnFifoBlock or under no stream.
  CFifo* GetFifo() const { return fifo_; }

  void SetAllowDefaultDevice(bool allow) { allowDefaultDevice_ = allow; }
  bool GetAllowDefaultDevice() const { return allowDefaultDevice_; }

  // AudioBufferSink: the data path of this side.
  void OnBuffer(CAudioInterface* source, void* data, uint32_t bytes) override;

 private:
  void SetError(const char* text);
  void FreeChannelBuffers();
  bool AcquireForBuffer();

  CFifo* fifo_ = nullptr;
  CAudioInterface* iface_ = nullptr;
  char errorText_[kErrorTextSize] = {};
  AudioOpenParams params_;
  std::atomic<AudioStreamCallback*> callback_{nullptr};
  int32_t* channelBuffers_[kMaxChannels] = {};
  bool allowDefaultDevice_ = true;
  std::recursive_mutex lock_;
  std::atomic<bool> enabled_{false};
};
