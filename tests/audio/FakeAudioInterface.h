// A CAudioInterface without a platform: a fixed device list, a scripted open result and,
// while open, an optional device thread that hands buffers to the sink as fast as it can
// (for the close/late-buffer race), or no thread so a test calls Deliver() itself.
#pragma once

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioInterface.h"

class FakeAudioInterface : public CAudioInterface {
 public:
  struct Device {
    std::string name, identifier;
  };

  explicit FakeAudioInterface(bool isInput) : CAudioInterface(isInput) {}
  ~FakeAudioInterface() override { Close(); }

  // ---- script ----
  std::vector<Device> devices;
  bool offersDefault = false;  // entry 0 stands for the default device
  int32_t openResult = 0;
  std::string openError;
  bool deviceThread = false;  // deliver buffers from a thread while open
  std::atomic<int64_t> delivered{0};
  int32_t opens = 0, closes = 0;
  int32_t* closeCounter = nullptr;  // survives the interface's deletion
  bool loopFailed = false;          // still open, but IsRunning false (a failed stream loop)

  int32_t Open(const AudioOpenParams& p) override {
    params_ = p;
    ++opens;
    if (openResult != 0) {
      SetErrorText("%s", openError.c_str());
      return openResult;
    }
    bytesPerFrame_ = p.channels * p.bitsPerSample / 8;
    buffer_.assign(static_cast<size_t>(bytesPerFrame_) * static_cast<size_t>(p.bufferFrames), 0);
    running_ = true;
    if (deviceThread) {
      stop_ = false;
      thread_ = std::thread([this] {
        while (!stop_.load(std::memory_order_acquire)) {
          if (sink_ != nullptr) sink_->OnBuffer(this, buffer_.data(), static_cast<uint32_t>(buffer_.size()));
          delivered.fetch_add(1, std::memory_order_relaxed);
        }
      });
    }
    return 0;
  }
  // Like a real device: the streaming thread has left when Close returns.
  void Close() override {
    if (!running_) return;
    ++closes;
    if (closeCounter != nullptr) ++*closeCounter;
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    running_ = false;
    bytesPerFrame_ = 0;
  }
  void Reset() override {}
  bool IsRunning() override { return running_ && !loopFailed; }
  int32_t GetLatency() override { return running_ ? params_.bufferFrames : 0; }
  int32_t GetBytesPerFrame() override { return bytesPerFrame_; }
  int32_t GetDeviceCount() override { return static_cast<int32_t>(devices.size()); }
  void GetDeviceInfo(AudioDeviceInfo* info, int32_t index) override {
    info->name = devices[static_cast<size_t>(index)].name;
    info->identifier = devices[static_cast<size_t>(index)].identifier;
    info->deviceIndex = index;
  }
  bool HasDefaultDevice() override { return offersDefault; }
  bool IsDefaultDeviceName(const char* id) override { return IsDefaultDeviceNameText(id); }
  bool HasFailed() override { return false; }

  // Hands `data` to the sink as the device thread would.
  void Deliver(void* data, uint32_t bytes) {
    if (sink_ != nullptr) sink_->OnBuffer(this, data, bytes);
  }

 private:
  std::vector<uint8_t> buffer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  bool running_ = false;
  int32_t bytesPerFrame_ = 0;
};
