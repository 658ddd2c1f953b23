// AudioPort: one side of the bridge. See AudioPort.h for the threading contract and how a
// close and a late device buffer are kept apart.
#include "audio/AudioPort.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "engine/CFifo.h"
#include "engine/LogPrintf.h"

namespace {
std::atomic<AudioInterfaceFactory> g_factory{nullptr};

// Largest block a port accepts: far above any list value (4096), small enough that the
// per-channel buffers stay a sane allocation and frame * bytes never overflows.
constexpr int32_t kMaxBufferFrames = 1 << 20;

void CopyText(char* dst, int32_t size, const char* src) {
  if (dst == nullptr || size <= 0) return;
  std::snprintf(dst, static_cast<size_t>(size), "%s", src != nullptr ? src : "");
}
}  // namespace

AudioInterfaceFactory AudioPort::SetInterfaceFactory(AudioInterfaceFactory factory) {
  return g_factory.exchange(factory);
}

AudioInterfaceFactory AudioPort::GetInterfaceFactory() { return g_factory.load(); }

AudioPort::AudioPort() : params_(AudioOpenParams::Zeroed()) {}

AudioPort::~AudioPort() { Destroy(); }

void AudioPort::SetError(const char* text) { CopyText(errorText_, kErrorTextSize, text); }

void AudioPort::Create(bool isInput, int32_t type) {
  Destroy();
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (iface_ == nullptr && type >= kAudioTypeWave && type <= kAudioTypeKernelStreaming) {
    AudioInterfaceFactory factory = g_factory.load();
    if (factory != nullptr) iface_ = factory(isInput, type);
  }
  if (iface_ != nullptr) {
    iface_->SetType(type);
    iface_->SetSink(this);
    iface_->SetAllowDefaultDevice(allowDefaultDevice_);
  }
}

void AudioPort::Destroy() {
  enabled_.store(false, std::memory_order_release);
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (iface_ != nullptr) {
    // Always: an interface whose streaming loop failed reports IsRunning false while its
    // device, buffers and the port's channel buffers are still open.
    Close();
    delete iface_;
    iface_ = nullptr;
  }
}

int32_t AudioPort::FillDeviceList(DeviceList* list, bool withDisableEntry, const char* saved) {
  if (iface_ == nullptr) {
    SetError("Must Create First");
    return -1;
  }
  if (list == nullptr) return 0;
  if (saved == nullptr) saved = "";
  list->Clear();
  if (withDisableEntry) list->Add("Disable", kDisableItemData);

  // An exact identifier match wins over the default entry; of several equal identifiers
  // the first is taken, as the interfaces' Open also takes the first match.
  int exact = -1;
  int fallback = -1;
  AudioDeviceInfo info;
  for (int32_t i = 0; i < iface_->GetDeviceCount(); ++i) {
    info = AudioDeviceInfo();
    iface_->GetDeviceInfo(&info, i);
    int idx = list->Add(info.name, i);
    if (info.identifier == saved) {
      if (exact < 0) exact = idx;
    } else if (i == 0 && iface_->HasDefaultDevice() && iface_->IsDefaultDeviceName(saved)) {
      fallback = idx;
    }
    list->SetData(idx, i);
  }
  int sel = exact >= 0 ? exact : fallback;
  if (sel >= 0) list->Select(sel);
  if (withDisableEntry && std::strcmp(saved, "Disable") == 0) list->Select(0);
  return list->Count();
}

int32_t AudioPort::GetSelectedDevice(const DeviceList* list, char* buffer, int32_t size) {
  if (iface_ == nullptr) {
    SetError("Must Create First");
    return -1;
  }
  if (list == nullptr) return 0;
  int sel = list->Selection();
  if (sel < 0) return 0;
  intptr_t data = list->Data(sel);
  if (data == kDisableItemData) {
    CopyText(buffer, size, "Disable");
    return 0;
  }
  if (data >= 0 && data < iface_->GetDeviceCount()) {
    AudioDeviceInfo info;
    iface_->GetDeviceInfo(&info, static_cast<int32_t>(data));
    CopyText(buffer, size, info.identifier.c_str());
    return 1;
  }
  return 0;
}

void AudioPort::FreeChannelBuffers() {
  for (auto& b : channelBuffers_) {
    delete[] b;
    b = nullptr;
  }
}

int32_t AudioPort::Open(const AudioOpenParams& params) {
  if (params.sampleRate == 25) {
    SetError("Hello Tobrin!");
    return 1;
  }
  if (params.sampleRate < 8000) {
    SetError("Invalid sample rate!");
    return 1;
  }
  if (iface_ == nullptr) {
    SetError("Must create first.");
    return 1;
  }
  // Checks the record itself needs before anything is allocated from it: the channel
  // buffers have 32 slots and every conversion walks bufferFrames frames.
  if (params.channels < 1 || params.channels > kMaxChannels) {
    SetError("Invalid channel count!");
    return 1;
  }
  if (params.bufferFrames < 1 || params.bufferFrames > kMaxBufferFrames) {
    SetError("Invalid buffer size!");
    return 1;
  }
  SetError("Unknown error opening CAudioInterface internal driver!");
  if (iface_->IsRunning()) {
    SetError("Already Running!");
    return 1;
  }

  std::lock_guard<std::recursive_mutex> guard(lock_);
  // What an earlier open left behind (its stream may have failed without being closed)
  // goes before anything new is allocated.
  delete fifo_;
  fifo_ = nullptr;
  FreeChannelBuffers();
  params_ = params;
  if (params_.rawMode == 0) {
    for (int32_t c = 0; c < params_.channels; ++c) {
      channelBuffers_[c] = new (std::nothrow) int32_t[static_cast<size_t>(params_.bufferFrames)]();
      if (channelBuffers_[c] == nullptr) {
        FreeChannelBuffers();
        params_ = AudioOpenParams::Zeroed();
        SetError("Out of memory!");
        return 1;
      }
    }
  }
  enabled_.store(true, std::memory_order_release);
  int32_t result = iface_->Open(params_);
  if (result != 0) {
    // Nothing streams: stop buffers that a half-open device might still deliver.
    enabled_.store(false, std::memory_order_release);
    SetError(iface_->ErrorText());
    delete fifo_;
    fifo_ = nullptr;
    FreeChannelBuffers();
  } else if (params_.fifoFrames != 0) {
    fifo_ = new CFifo;
    fifo_->Create(iface_->GetBytesPerFrame() * params_.fifoFrames, 0, kFifoLocal, 0);
  }
  return result;
}

void AudioPort::Close() {
  if (iface_ == nullptr) return;
  // Cleared before the lock: a streaming thread waiting for the lock sees it and leaves,
  // so the interface's Close below can always join its thread.
  enabled_.store(false, std::memory_order_release);
  std::lock_guard<std::recursive_mutex> guard(lock_);
  iface_->Close();
  delete fifo_;
  fifo_ = nullptr;
  params_ = AudioOpenParams::Zeroed();
  FreeChannelBuffers();
}

const char* AudioPort::GetName(const char* suffix) const {
  thread_local char name[300];
  if (iface_ == nullptr) return "MustCreateFirst";
  std::snprintf(name, sizeof(name), "%s%s%s", AudioInterfaceShortName(iface_->GetType()),
                iface_->IsInput() ? "Rec" : "Play", suffix != nullptr ? suffix : "");
  return name;
}

bool AudioPort::IsInput() const { return iface_ != nullptr && iface_->IsInput(); }

bool AudioPort::AcquireForBuffer() {
  // Never wait for the lock without looking at `enabled`: a Close that has cleared it may
  // hold the lock while it joins this very thread, so a plain lock() could deadlock. The
  // lock is contended only while the window thread opens, closes or changes the
  // interface, so the short yield-then-sleep poll costs nothing in steady streaming.
  for (int spins = 0; !lock_.try_lock(); ++spins) {
    if (!enabled_.load(std::memory_order_acquire)) return false;
    if (spins < 64)
      std::this_thread::yield();
    else
      std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return true;
}

void AudioPort::OnBuffer(CAudioInterface* source, void* data, uint32_t bytes) {
  (void)source;
  if (!enabled_.load(std::memory_order_acquire)) return;
  if (!AcquireForBuffer()) return;
  std::lock_guard<std::recursive_mutex> guard(lock_, std::adopt_lock);
  // A Close may have run while this thread waited: its buffers are gone.
  if (!enabled_.load(std::memory_order_acquire) || iface_ == nullptr || data == nullptr) return;

  const bool input = iface_->IsInput();
  AudioStreamCallback* callback = callback_.load(std::memory_order_acquire);

  if (fifo_ != nullptr) {
    const int32_t len = static_cast<int32_t>(bytes > 0x7fffffffu ? 0x7fffffffu : bytes);
    if (input) {
      if (fifo_->Free() >= len)
        fifo_->Put(data, len, true);
      else
        LogPrintf("fifo full\n");
    } else {
      if (fifo_->Used() >= len)
        fifo_->Get(data, len, false);
      else
        std::memset(data, 0, bytes);
    }
    if (callback != nullptr) callback->OnFifoBlock(this);
    return;
  }
  if (callback == nullptr) return;
  if (params_.rawMode != 0) {
    if (input)
      callback->OnRawInput(this, data, bytes);
    else
      callback->OnRawOutput(this, data, bytes);
    return;
  }

  const int32_t channels = params_.channels;
  const int32_t blockFrames = params_.bufferFrames;
  const int32_t bits = params_.bitsPerSample;
  const bool known = bits == 16 || bits == 32;
  // Convert only the frames the device buffer really holds: a short buffer must not be
  // read or written past its end. A short captured buffer leaves silence in the rest of
  // the block; the callback still gets a whole block.
  int32_t frames = 0;
  if (known) {
    const uint64_t frameBytes = static_cast<uint64_t>(channels) * static_cast<uint64_t>(bits / 8);
    const uint64_t held = bytes / frameBytes;
    frames = held < static_cast<uint64_t>(blockFrames) ? static_cast<int32_t>(held) : blockFrames;
  }

  if (input) {
    if (bits == 16) {
      const int16_t* in = static_cast<const int16_t*>(data);
      for (int32_t c = 0; c < channels; ++c) {
        int32_t* out = channelBuffers_[c];
        for (int32_t f = 0; f < frames; ++f) out[f] = in[static_cast<size_t>(f) * channels + c];
      }
    } else if (bits == 32) {
      const float* in = static_cast<const float*>(data);
      for (int32_t c = 0; c < channels; ++c) {
        int32_t* out = channelBuffers_[c];
        // Truncation toward zero; values beyond +-1.0 saturate rather than overflow.
        for (int32_t f = 0; f < frames; ++f) {
          double v = static_cast<double>(in[static_cast<size_t>(f) * channels + c]) * 32767.0;
          out[f] = v >= 2147483647.0 ? INT32_MAX : v <= -2147483648.0 ? INT32_MIN
                 : v != v ? 0 : static_cast<int32_t>(v);
        }
      }
    }
    if (known && frames < blockFrames)
      for (int32_t c = 0; c < channels; ++c)
        std::memset(channelBuffers_[c] + frames, 0, sizeof(int32_t) * static_cast<size_t>(blockFrames - frames));
    callback->OnInputBlock(this, channelBuffers_, blockFrames);
  } else {
    callback->OnOutputBlock(this, channelBuffers_, blockFrames);
    if (bits == 16) {
      int16_t* out = static_cast<int16_t*>(data);
      for (int32_t c = 0; c < channels; ++c) {
        const int32_t* in = channelBuffers_[c];
        // The low 16 bits, as the callback promised to clamp.
        for (int32_t f = 0; f < frames; ++f)
          out[static_cast<size_t>(f) * channels + c] = static_cast<int16_t>(static_cast<uint16_t>(in[f]));
      }
    } else if (bits == 32) {
      float* out = static_cast<float*>(data);
      for (int32_t c = 0; c < channels; ++c) {
        const int32_t* in = channelBuffers_[c];
        for (int32_t f = 0; f < frames; ++f)
          out[static_cast<size_t>(f) * channels + c] = static_cast<float>(in[f]) * 3.0517578125e-05f;
      }
    }
  }
}
