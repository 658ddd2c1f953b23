// CKsStreamDevice: enumeration, pin opening and the overlapped buffer loop.
#include "audio/ks/KsStreamDevice.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {
// How long a stop waits for the driver to hand back the buffers it still holds, each time.
constexpr DWORD kDrainWaitMs = 1000;
}  // namespace

CKsStreamDevice::CKsStreamDevice(bool isInput, uint32_t bufferBytes, uint32_t bufferCount)
    : isInput_(isInput), bufferBytes_(bufferBytes), bufferCount_(bufferCount) {
  const uint64_t total = static_cast<uint64_t>(bufferBytes) * bufferCount;
  if (bufferCount > 0 && bufferCount <= kMaxBuffers && bufferBytes > 0 && total <= 0x40000000u) {
    buffers_ = new (std::nothrow) uint8_t[static_cast<size_t>(total)];
    if (buffers_) std::memset(buffers_, 0, static_cast<size_t>(total));
  }
  headers_.assign(bufferCount_, KSSTREAM_HEADER{});
  overlapped_.assign(bufferCount_, OVERLAPPED{});
  events_.assign(bufferCount_ + 1, nullptr);
  submitted_.assign(bufferCount_, 0);
  for (HANDLE& e : events_) e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  for (uint32_t i = 0; i < bufferCount_; ++i) {
    KSSTREAM_HEADER& h = headers_[i];
    // 48 bytes in a 32-bit process, 56 in a 64-bit one (the header holds a pointer).
    h.Size = sizeof(KSSTREAM_HEADER);
    h.PresentationTime.Numerator = 1;
    h.PresentationTime.Denominator = 1;
    h.Data = buffers_ ? buffers_ + static_cast<size_t>(i) * bufferBytes_ : nullptr;
    h.FrameExtent = bufferBytes_;
    h.DataUsed = bufferBytes_;
    overlapped_[i].hEvent = events_[i + 1];
  }
  fifo_.Create(4096, 0, kFifoLocal, 0);
  current_ = -1;
  Enumerate();
  worker_.SetBody(this);
  worker_.SetPriority(WorkerThread::kTimeCriticalPriority);
}

CKsStreamDevice::~CKsStreamDevice() {
  worker_.RequestStop();
  StopStream();
  closing_.store(true, std::memory_order_release);
  if (events_[0]) SetEvent(events_[0]);
  worker_.Stop();
  for (HANDLE e : events_)
    if (e) CloseHandle(e);
  delete[] buffers_;
  delete enumerator_;
  enumerator_ = nullptr;
  deviceNames_.clear();
  fifo_.Destroy();
}

void CKsStreamDevice::SetErrorText(const char* text) {
  std::strncpy(errorText_, text, sizeof(errorText_) - 1);
  errorText_[sizeof(errorText_) - 1] = 0;
}

void CKsStreamDevice::Enumerate() {
  HRESULT hr = S_OK;
  enumerator_ = new (std::nothrow) CKsFilterEnumerator(&hr);
  if (!enumerator_) {
    SetErrorText("Couldn't enumerate KernelStreaming filters (0x80000022)");
    return;
  }
  GUID categories[2] = {KSCATEGORY_AUDIO, isInput_ ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER};
  hr = enumerator_->EnumerateFilters(isInput_ ? kKsFilterCapture : kKsFilterRender, categories, 2,
                                     true, false, true);
  if (FAILED(hr)) SetErrorText("Couldn't enumerate KernelStreaming filters (0x80000045)");
  deviceNames_.clear();
  for (CKsFilter* filter : enumerator_->Filters())
    deviceNames_.emplace_back(filter->GetFriendlyName(), filter->GetDevicePath());
}

void CKsStreamDevice::SignalBufferEvents() {
  for (uint32_t i = 0; i < bufferCount_; ++i)
    if (events_[i + 1]) SetEvent(events_[i + 1]);
}

bool CKsStreamDevice::WaitAllBuffers(DWORD timeoutMs) {
  if (bufferCount_ == 0) return true;
  DWORD r = WaitForMultipleObjects(bufferCount_, events_.data() + 1, TRUE, timeoutMs);
  return r < WAIT_OBJECT_0 + bufferCount_;
}

bool CKsStreamDevice::OpenDevice(const char* identifier, const WAVEFORMATEX* format) {
  if (!identifier || !*identifier) {
    SetErrorText(isInput_ ? "No KS input device selected!" : "No KS output device selected!");
    return false;
  }
  const char* generic = isInput_ ? "Couldn't open KS input device" : "Couldn't open KS output device";
  SetErrorText(generic);
  if (!buffers_ || state_.load() != kIdle || !format) return false;
  for (HANDLE e : events_)
    if (!e) return false;
  if (!enumerator_) Enumerate();
  if (!enumerator_) return false;

  CKsFilter* found = nullptr;
  for (CKsFilter* filter : enumerator_->Filters()) {
    if (_stricmp(filter->GetDevicePath(), identifier) == 0 ||
        _stricmp(filter->GetFriendlyName(), identifier) == 0) {
      found = filter;
      break;
    }
  }
  if (!found) {
    SetErrorText(isInput_ ? "Input device not found (0x80000049)" : "Output device not found (0x80000048)");
    return false;
  }
  if (isInput_) {
    pin_ = static_cast<CKsCaptureFilter*>(found)->OpenCapturePin(format, false);
    pinOwned_ = false;
  } else {
    pin_ = static_cast<CKsRenderFilter*>(found)->OpenRenderPin(format, false);
    pinOwned_ = pin_ != nullptr;
  }
  if (!pin_) {
    SetErrorText(isInput_ ? "Failed to create input pin (0x8000001B)"
                          : "Failed to create output pin (0x8000001A).\n\nSound device busy?\nCheck Rate and Channels.");
    return false;
  }

  // Every buffer starts out free: its event signalled, nothing in it.
  for (uint32_t i = 0; i < bufferCount_; ++i) {
    headers_[i].FrameExtent = 0;
    headers_[i].DataUsed = 0;
  }
  for (uint8_t& s : submitted_) s = 0;
  next_ = 0;
  loopFailure_.store(kNoLoopFailure, std::memory_order_release);
  SignalBufferEvents();
  ResetEvent(events_[0]);
  std::memset(&format_, 0, sizeof(format_));
  std::memcpy(&format_, format, KsWaveFormatSize(format) < sizeof(format_) ? KsWaveFormatSize(format)
                                                                             : sizeof(format_));
  current_ = -1;
  state_.store(kRunning, std::memory_order_release);

  if (FAILED(pin_->SetPinState(KSSTATE_PAUSE)) || FAILED(pin_->SetPinState(KSSTATE_RUN))) {
    SetErrorText(generic);
    return false;  // the destructor stops and releases the pin
  }
  started_.store(true, std::memory_order_release);
  fifo_.Reset();
  if (worker_.Start() != 0) {
    started_.store(false, std::memory_order_release);
    char text[kErrorTextSize];
    std::snprintf(text, sizeof(text), "Couldn't start the KS %s streaming thread: %s",
                  isInput_ ? "input" : "output", worker_.StartFailureText());
    SetErrorText(text);
    return false;
  }
  return true;
}

void CKsStreamDevice::ThreadBody(WorkerThread& worker) {
  const DWORD count = bufferCount_ + 1;
  while (worker.IsRunning()) {
    loopPasses_.fetch_add(1, std::memory_order_relaxed);
    const int32_t state = state_.load(std::memory_order_acquire);
    const bool idle = state == kStopping || closing_.load(std::memory_order_acquire);
    DWORD r;
    if (idle && current_ >= 0) {
      // Stopping with a buffer held: its event stays signalled, so waiting on all events
      // would return at once, pass after pass, at time-critical priority. Sleep on the
      // wake event instead; the stop path sets it after asking the worker to end.
      r = WaitForSingleObject(events_[0], INFINITE);
      if (!worker.IsRunning()) break;
      ResetEvent(events_[0]);
      continue;
    }
    r = WaitForMultipleObjects(count, events_.data(), FALSE, INFINITE);
    if (!worker.IsRunning()) break;
    if (r >= WAIT_OBJECT_0 + count) {
      // The wait itself failed (a closed handle): nothing further can be waited for.
      error_.store(true, std::memory_order_release);
      break;
    }
    const uint32_t index = r - WAIT_OBJECT_0;
    if (index == 0) {
      ResetEvent(events_[0]);
    } else if (current_ < 0) {
      // The wait names the lowest signalled index. After a late wake at the wrap, with the
      // last and the first buffer both done, that is the newer one; the driver completes
      // in submission order, so the expected next buffer goes first whenever it is done.
      uint32_t pick = index - 1;
      if (pick != next_ && WaitForSingleObject(events_[next_ + 1], 0) == WAIT_OBJECT_0) pick = next_;
      current_ = static_cast<int32_t>(pick);
      next_ = (pick + 1) % bufferCount_;
    }
    if (current_ < 0) continue;
    if (state_.load(std::memory_order_acquire) == kStopping || closing_.load(std::memory_order_acquire))
      continue;

    const size_t i = static_cast<size_t>(current_);
    KSSTREAM_HEADER& header = headers_[i];
    auto* data = static_cast<uint8_t*>(header.Data);
    KsStreamClient* client = client_.load(std::memory_order_acquire);
    uint32_t used = bufferBytes_;
    if (submitted_[i]) {
      // A signalled event only says the request ended: a failed or cancelled one holds no
      // audio, and a capture may come back short.
      DWORD transferred = 0;
      if (KsGetSystem()->OverlappedResult(pin_->GetHandle(), &overlapped_[i], &transferred) != 0) {
        loopFailure_.store(kRequestFailed, std::memory_order_release);
        error_.store(true, std::memory_order_release);
        break;
      }
      if (isInput_ && header.DataUsed < bufferBytes_) {
        used = header.DataUsed;
        std::memset(data + used, 0, bufferBytes_ - used);  // nothing stale behind it
      }
    }
    if (!isInput_) {
      if (!client || !client->Render(this, data, bufferBytes_)) {
        if (fifo_.Used() >= static_cast<int32_t>(bufferBytes_))
          fifo_.Get(data, static_cast<int32_t>(bufferBytes_), false);
        else
          std::memset(data, 0, bufferBytes_);
      }
      header.FrameExtent = bufferBytes_;
      header.DataUsed = bufferBytes_;
      ResetEvent(events_[i + 1]);
      submitted_[i] = 1;
      if (FAILED(pin_->WriteData(&header, &overlapped_[i]))) {
        loopFailure_.store(kWriteFailed, std::memory_order_release);
        error_.store(true, std::memory_order_release);
        break;
      }
    } else {
      if (used > 0 && (!client || !client->Captured(this, data, used)))
        fifo_.Put(data, static_cast<int32_t>(used), false);
      header.FrameExtent = bufferBytes_;
      header.DataUsed = 0;
      ResetEvent(events_[i + 1]);
      submitted_[i] = 1;
      if (FAILED(pin_->ReadData(&header, &overlapped_[i]))) {
        error_.store(true, std::memory_order_release);
        break;
      }
    }
    current_ = -1;
    if (client) client->BufferDone(this);
  }
}

void CKsStreamDevice::StopStream() {
  std::lock_guard<std::mutex> lock(stopLock_);
  if (state_.load(std::memory_order_acquire) != kRunning) return;
  if (isInput_) {
    worker_.RequestStop();
    SignalBufferEvents();
    SetEvent(events_[0]);
    worker_.Stop();
    if (pin_) {
      pin_->SetPinState(KSSTATE_PAUSE);
      pin_->SetPinState(KSSTATE_STOP);
    }
    state_.store(kStopping, std::memory_order_release);
    SignalBufferEvents();
    Release();
    fifo_.Reset();
  } else {
    state_.store(kStopping, std::memory_order_release);
    // Let the buffers still with the driver play out, but never wait on a driver that
    // holds them for good.
    if (!error_.load(std::memory_order_acquire)) WaitAllBuffers(kDrainWaitMs);
    worker_.RequestStop();
    SignalBufferEvents();
    SetEvent(events_[0]);
    worker_.Stop();
    if (pin_) {
      pin_->SetPinState(KSSTATE_PAUSE);
      pin_->SetPinState(KSSTATE_STOP);
    }
    if (!error_.load(std::memory_order_acquire)) WaitAllBuffers(kDrainWaitMs);
    Release();
  }
}

void CKsStreamDevice::Release() {
  if (pin_) {
    pin_->Close();
    if (pinOwned_) delete pin_;
  }
  pin_ = nullptr;
  pinOwned_ = false;
  delete enumerator_;
  enumerator_ = nullptr;
  state_.store(kIdle, std::memory_order_release);
}
