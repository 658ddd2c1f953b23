// CKsStreamDevice: enumeration, pin opening and the overlapped buffer loop.
#include "audio/ks/KsStreamDevice.h"

#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

namespace {
// How long a stop waits for the driver to hand back the buffers it still holds, each time.
constexpr DWORD kDrainWaitMs = 1000;
// Longest single wait of either loop: it looks at the stall bound at least this often.
constexpr DWORD kMaxWaitMs = 100;
// Cyclic buffer sizes are tried rounded up to this (drivers that map whole pages), then
// twice that, after the size asked for.
constexpr uint32_t kPageBytes = 4096;

uint64_t NowMs() { return GetTickCount64(); }

const char* PinOffer(bool standard, bool looped) {
  if (standard && looped) return "standard streaming and real-time (WaveRT) pins";
  if (standard) return "standard streaming pins only";
  if (looped) return "real-time (WaveRT) pins only";
  return "no usable pins";
}
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
  notifyEvent_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  positionEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
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
  if (notifyEvent_) CloseHandle(notifyEvent_);
  if (positionEvent_) CloseHandle(positionEvent_);
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
  realTime_ = false;
  ringBytes_ = 0;
  ring_ = nullptr;
  notifying_ = false;
  underruns_.store(0, std::memory_order_relaxed);
  // The buffered time of the side decides how long the loop waits for progress.
  const uint64_t bufferedMs = format->nAvgBytesPerSec
                                  ? static_cast<uint64_t>(bufferBytes_) * bufferCount_ * 1000u / format->nAvgBytesPerSec
                                  : 0;
  stallMs_ = static_cast<uint32_t>(std::max<uint64_t>(500, 4 * bufferedMs));
  std::memset(&format_, 0, sizeof(format_));
  std::memcpy(&format_, format, KsWaveFormatSize(format) < sizeof(format_) ? KsWaveFormatSize(format)
                                                                             : sizeof(format_));
  if (!pin_) {
    // No standard-streaming pin took the format: a real-time pin may.
    if (!OpenRealTimePin(found, format)) return false;
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

void CKsStreamDevice::Fail(int32_t why) {
  loopFailure_.store(why, std::memory_order_release);
  error_.store(true, std::memory_order_release);
}

void CKsStreamDevice::ThreadBody(WorkerThread& worker) {
  // Waits of a block period or less need the 1 ms timer, not the default 15.6 ms.
  timeBeginPeriod(1);
  if (realTime_)
    RealTimeLoop(worker);
  else
    RequestLoop(worker);
  timeEndPeriod(1);
}

void CKsStreamDevice::RequestLoop(WorkerThread& worker) {
  const DWORD count = bufferCount_ + 1;
  uint64_t lastProgress = NowMs();
  while (worker.IsRunning()) {
    loopPasses_.fetch_add(1, std::memory_order_relaxed);
    const int32_t state = state_.load(std::memory_order_acquire);
    const bool idle = state == kStopping || closing_.load(std::memory_order_acquire);
    DWORD r;
    if (idle && current_ >= 0) {
      // Stopping with a buffer held: its event stays signalled, so waiting on all events
      // would return at once, pass after pass, at time-critical priority. Sleep on the
      // wake event instead; the stop path sets it after asking the worker to end.
      r = WaitForSingleObject(events_[0], kMaxWaitMs);
      if (!worker.IsRunning()) break;
      if (r == WAIT_OBJECT_0) ResetEvent(events_[0]);
      continue;
    }
    r = WaitForMultipleObjects(count, events_.data(), FALSE, kMaxWaitMs);
    if (!worker.IsRunning()) break;
    if (r == WAIT_TIMEOUT) {
      // A driver that keeps every request (a device gone) completes nothing any more.
      if (!idle && NowMs() - lastProgress > stallMs_) {
        Fail(kStalled);
        break;
      }
      continue;
    }
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
      lastProgress = NowMs();
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
        Fail(kRequestFailed);
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
  if (realTime_) {
    // Nothing is queued: the worker ends, the pin stops, and the cyclic buffer goes with
    // the pin's handle.
    state_.store(kStopping, std::memory_order_release);
    worker_.RequestStop();
    SetEvent(events_[0]);
    worker_.Stop();
    if (pin_) {
      pin_->SetPinState(KSSTATE_PAUSE);
      pin_->SetPinState(KSSTATE_STOP);
      if (notifying_) pin_->RegisterNotificationEvent(notifyEvent_, false);
    }
    notifying_ = false;
    Release();
    ring_ = nullptr;
    fifo_.Reset();
    return;
  }
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

// ---- Real-time pins -------------------------------------------------------------------------

void CKsStreamDevice::SetNoPinText(CKsFilter* filter) {
  bool standard = false, looped = false;
  CKsAudioFilter::OfferedInterfaces(isInput_ ? filter->m_listCaptureSinkPins : filter->m_listRenderSinkPins,
                                    &standard, &looped);
  const char* base = isInput_ ? "Failed to create input pin (0x8000001B)"
                              : "Failed to create output pin (0x8000001A).\n\nSound device busy?\nCheck Rate and Channels.";
  if (!looped) {
    SetErrorText(base);  // a device of stream requests only: the familiar text
    return;
  }
  char text[kErrorTextSize];
  std::snprintf(text, sizeof(text), "%s\n\nThe device offers %s; none accepted %lu Hz, %u channels.", base,
                PinOffer(standard, looped), static_cast<unsigned long>(format_.Format.nSamplesPerSec),
                static_cast<unsigned>(format_.Format.nChannels));
  SetErrorText(text);
}

bool CKsStreamDevice::OpenRealTimePin(CKsFilter* filter, const WAVEFORMATEX* format) {
  if (isInput_) {
    pin_ = static_cast<CKsCaptureFilter*>(filter)->OpenCapturePin(format, true);
    pinOwned_ = false;
  } else {
    pin_ = static_cast<CKsRenderFilter*>(filter)->OpenRenderPin(format, true);
    pinOwned_ = pin_ != nullptr;
  }
  if (!pin_) {
    SetNoPinText(filter);
    return false;
  }
  realTime_ = true;
  auto giveUp = [this](const char* text) {
    SetErrorText(text);
    pin_->Close();
    if (pinOwned_) delete pin_;
    pin_ = nullptr;
    pinOwned_ = false;
    realTime_ = false;
    return false;
  };
  if (!pin_->SupportsRealTime())
    return giveUp("The device's looped-streaming pin does not answer the real-time (WaveRT) property set.");

  // The cyclic buffer holds the side's buffered time (never less than two blocks: the
  // client works in one while the hardware works in the other) and two blocks more. A
  // render loop held up past its written data lets the hardware run into that guard,
  // which holds silence, instead of straight into the audio it played a pass ago.
  const uint32_t blocks = std::max<uint32_t>(bufferCount_, 2) + 2;
  const uint32_t wanted = bufferBytes_ * blocks;
  const uint32_t paged = (wanted + kPageBytes - 1) / kPageBytes * kPageBytes;
  const uint32_t sizes[3] = {wanted, paged, paged * 2};
  const uint32_t align = format->nBlockAlign ? format->nBlockAlign : 1;
  DWORD error = 0;
  uint8_t* base = nullptr;
  ULONG actual = 0;
  bool granted = false;
  for (ULONG notifications : {2u, 0u}) {
    // Notifications where the driver offers them; otherwise the position is polled.
    for (uint32_t i = 0; i < 3 && !granted; ++i) {
      if (i > 0 && (sizes[i] == sizes[i - 1] || sizes[i] % align != 0)) continue;
      granted = SUCCEEDED(pin_->AllocateCyclicBuffer(sizes[i], notifications, &base, &actual, &error));
    }
    if (granted) {
      notifying_ = notifications != 0 && notifyEvent_ &&
                   SUCCEEDED(pin_->RegisterNotificationEvent(notifyEvent_, true));
      break;
    }
  }
  if (!granted) {
    char text[kErrorTextSize];
    std::snprintf(text, sizeof(text),
                  "The real-time (WaveRT) pin refused cyclic buffers of %lu to %lu bytes (error %lu).",
                  static_cast<unsigned long>(sizes[0]), static_cast<unsigned long>(sizes[2]),
                  static_cast<unsigned long>(error));
    return giveUp(text);
  }
  if (actual < 2 * bufferBytes_ || actual % align != 0) {
    char text[kErrorTextSize];
    std::snprintf(text, sizeof(text),
                  "The real-time (WaveRT) pin granted a cyclic buffer of %lu bytes, too small for two blocks of %lu.",
                  static_cast<unsigned long>(actual), static_cast<unsigned long>(bufferBytes_));
    return giveUp(text);
  }
  ring_ = base;
  ringBytes_ = actual;
  std::memset(ring_, 0, ringBytes_);  // silence until the first blocks arrive
  std::memset(&positionOv_, 0, sizeof(positionOv_));
  positionOv_.hEvent = positionEvent_;
  return true;
}

void CKsStreamDevice::CopyToRing(uint64_t at, const uint8_t* from, uint32_t bytes) {
  const uint32_t offset = static_cast<uint32_t>(at % ringBytes_);
  const uint32_t first = std::min(bytes, ringBytes_ - offset);
  std::memcpy(ring_ + offset, from, first);
  if (first < bytes) std::memcpy(ring_, from + first, bytes - first);
}

void CKsStreamDevice::CopyFromRing(uint64_t at, uint8_t* to, uint32_t bytes) {
  const uint32_t offset = static_cast<uint32_t>(at % ringBytes_);
  const uint32_t first = std::min(bytes, ringBytes_ - offset);
  std::memcpy(to, ring_ + offset, first);
  if (first < bytes) std::memcpy(to + first, ring_, bytes - first);
}

void CKsStreamDevice::ZeroRing(uint64_t from, uint64_t to) {
  if (to <= from) return;
  uint64_t bytes = std::min<uint64_t>(to - from, ringBytes_);
  const uint32_t offset = static_cast<uint32_t>(from % ringBytes_);
  const uint32_t first = static_cast<uint32_t>(std::min<uint64_t>(bytes, ringBytes_ - offset));
  std::memset(ring_ + offset, 0, first);
  if (first < bytes) std::memset(ring_, 0, static_cast<size_t>(bytes - first));
}

void CKsStreamDevice::RealTimeLoop(WorkerThread& worker) {
  const uint32_t frameBytes = format_.Format.nBlockAlign ? format_.Format.nBlockAlign : 1;
  const uint32_t rate = format_.Format.nSamplesPerSec ? format_.Format.nSamplesPerSec : 1;
  const uint32_t block = bufferBytes_;
  // The position is looked at twice per block period: a block is then handed over at most
  // half a period after it became due, which keeps the client's timing close to that of
  // stream requests.
  const DWORD periodMs = std::max<DWORD>(1, static_cast<DWORD>(block / frameBytes * 1000u / rate / 2));
  // Bytes next to the position the hardware may already have fetched (render) or not yet
  // written back (capture): 2 ms, at most half a block, whole frames.
  const uint32_t safe = std::min(block / 2 / frameBytes, std::max<uint32_t>(1, rate / 500)) * frameBytes;
  // Render keeps the side's buffered time ahead of the position and at least one block of
  // the ring (its guard) free of audio not yet played.
  const uint64_t fillTarget = std::min<uint64_t>(ringBytes_ - block,
                                                 static_cast<uint64_t>(block) * std::max<uint32_t>(bufferCount_, 2));
  // Time the position needs for one pass through the ring: a loop held up longer than
  // that (less a block) cannot tell how often the position wrapped.
  const uint64_t ringMs = static_cast<uint64_t>(ringBytes_ / frameBytes) * 1000u / rate;
  const uint64_t blindMs = ringMs > periodMs ? ringMs - periodMs : 1;
  HANDLE waits[2] = {events_[0], notifyEvent_};
  const DWORD waitCount = notifying_ ? 2 : 1;
  uint8_t* scratch = buffers_;  // one block for the client

  uint64_t position = 0;       // hardware position, bytes, unwrapped
  uint64_t lastOffset = 0;
  uint64_t cursor = 0;         // render: written up to here; capture: read up to here
  bool primed = false;
  uint64_t lastRead = NowMs();
  uint64_t lastProgress = lastRead;
  while (worker.IsRunning()) {
    loopPasses_.fetch_add(1, std::memory_order_relaxed);
    const DWORD r = WaitForMultipleObjects(waitCount, waits, FALSE, std::min(periodMs, kMaxWaitMs));
    if (!worker.IsRunning()) break;
    if (r == WAIT_FAILED) {
      error_.store(true, std::memory_order_release);
      break;
    }
    if (r == WAIT_OBJECT_0) ResetEvent(events_[0]);
    if (state_.load(std::memory_order_acquire) != kRunning || closing_.load(std::memory_order_acquire)) continue;

    ULONGLONG reported = 0;
    if (FAILED(pin_->ReadPosition(&positionOv_, &positionRequest_, &positionReply_, stallMs_, &reported))) {
      Fail(kPositionFailed);
      break;
    }
    const uint64_t now = NowMs();
    const uint64_t offset = (reported % ringBytes_) / frameBytes * frameBytes;
    const uint64_t advance = (offset + ringBytes_ - lastOffset) % ringBytes_;
    const bool blind = primed && now - lastRead >= blindMs;
    lastRead = now;
    lastOffset = offset;
    if (advance != 0) {
      lastProgress = now;
    } else if (now - lastProgress > stallMs_) {
      Fail(kStalled);  // the hardware position stands still: the device has stopped
      break;
    }
    const uint64_t previous = position;
    position += advance;
    KsStreamClient* client = client_.load(std::memory_order_acquire);

    if (!isInput_) {
      // What the position passed has been played; silence there means a late client is
      // heard as a gap, never as the buffer's old contents played again.
      ZeroRing(previous, position);
      if (!primed || blind || cursor < position + safe) {
        if (primed) underruns_.fetch_add(1, std::memory_order_relaxed);
        if (blind) ZeroRing(0, ringBytes_);
        primed = true;
        cursor = position + safe;
      }
      while (cursor + block <= position + fillTarget) {
        if (!client || !client->Render(this, scratch, block)) {
          if (fifo_.Used() >= static_cast<int32_t>(block))
            fifo_.Get(scratch, static_cast<int32_t>(block), false);
          else
            std::memset(scratch, 0, block);
        }
        CopyToRing(cursor, scratch, block);
        cursor += block;
        if (client) client->BufferDone(this);
      }
      std::atomic_thread_fence(std::memory_order_seq_cst);  // the hardware reads the ring next
    } else {
      if (!primed || blind || position - cursor > ringBytes_ - block) {
        // Unread data was overwritten (or may have been): start again at the position.
        if (primed) underruns_.fetch_add(1, std::memory_order_relaxed);
        primed = true;
        cursor = position;
      }
      std::atomic_thread_fence(std::memory_order_seq_cst);
      while (cursor + block <= position) {
        CopyFromRing(cursor, scratch, block);
        cursor += block;
        if (!client || !client->Captured(this, scratch, block))
          fifo_.Put(scratch, static_cast<int32_t>(block), false);
        if (client) client->BufferDone(this);
      }
    }
  }
}
