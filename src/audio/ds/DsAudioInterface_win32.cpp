#include "audio/ds/DsAudioInterface.h"

#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <objbase.h>
#include <dsound.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "audio/ds/DSoundManager_win32.h"
#include "engine/LogPrintf.h"
#include "engine/MmClock.h"

static_assert(kDsErrBadFormat == static_cast<int32_t>(DSERR_BADFORMAT), "code");
static_assert(kDsErrInvalidArg == static_cast<int32_t>(E_INVALIDARG), "code");
static_assert(kDsErrBufferLost == static_cast<int32_t>(DSERR_BUFFERLOST), "code");

namespace {

// DirectSound enumeration is not safe to run from two threads at once on every system;
// the input and the output interface share this lock.
std::mutex& EnumerationLock() {
  static std::mutex lock;
  return lock;
}

GUID ToGuid(const DsGuid& g) {
  GUID out;
  out.Data1 = g.data1;
  out.Data2 = g.data2;
  out.Data3 = g.data3;
  std::memcpy(out.Data4, g.data4, sizeof(out.Data4));
  return out;
}

DsGuid FromGuid(const GUID& g) {
  DsGuid out;
  out.data1 = static_cast<uint32_t>(g.Data1);
  out.data2 = g.Data2;
  out.data3 = g.Data3;
  std::memcpy(out.data4, g.Data4, sizeof(out.data4));
  return out;
}

// The format as DirectSound takes it; for an extensible one the sample type becomes the
// SubFormat (the wave-format GUID of the plain tag: PCM or IEEE float).
WAVEFORMATEXTENSIBLE ToWaveFormat(const DsWaveFormat& f) {
  WAVEFORMATEXTENSIBLE e;
  std::memset(&e, 0, sizeof(e));
  WAVEFORMATEX& w = e.Format;
  w.wFormatTag = f.extensible ? static_cast<WORD>(WAVE_FORMAT_EXTENSIBLE) : f.formatTag;
  w.nChannels = f.channels;
  w.nSamplesPerSec = f.samplesPerSec;
  w.nAvgBytesPerSec = f.avgBytesPerSec;
  w.nBlockAlign = f.blockAlign;
  w.wBitsPerSample = f.bitsPerSample;
  w.cbSize = f.extensible ? static_cast<WORD>(sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) : 0;
  if (f.extensible) {
    e.Samples.wValidBitsPerSample = f.bitsPerSample;
    e.dwChannelMask = f.channelMask;
    e.SubFormat = {f.formatTag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  }
  return e;
}

BOOL CALLBACK CollectDevice(LPGUID guid, LPCSTR description, LPCSTR module, LPVOID context) {
  // The primary driver comes without a GUID; the default device has its own list entry.
  if (guid != nullptr) {
    auto* devices = static_cast<std::vector<DsDeviceEntry>*>(context);
    DsDeviceEntry e;
    e.guid = FromGuid(*guid);
    e.description = description != nullptr ? description : "";
    e.module = module != nullptr ? module : "";
    devices->push_back(std::move(e));
  }
  return TRUE;  // always continue
}

unsigned HexCode(HRESULT hr) { return static_cast<unsigned>(hr); }

}  // namespace

class CDsAudioInterface::FillForwarder : public DsFillCallback {
 public:
  explicit FillForwarder(CDsAudioInterface* owner) : owner_(owner) {}
  void OnFill(void* data, uint32_t bytes) override { owner_->ForwardFill(data, bytes); }

 private:
  CDsAudioInterface* owner_;
};

CDsAudioInterface::CDsAudioInterface(bool isInput)
    : CAudioInterface(isInput), fill_(std::make_unique<FillForwarder>(this)) {
  comThread_ = GetCurrentThreadId();
  if (SUCCEEDED(CoInitialize(nullptr))) ++comInitCount_;
}

CDsAudioInterface::~CDsAudioInterface() {
  Close();
  devices_.clear();
  // COM counts its initialisations per thread; undo ours where they were made.
  if (GetCurrentThreadId() == comThread_) {
    for (; comInitCount_ > 0; --comInitCount_) CoUninitialize();
  }
}

void CDsAudioInterface::ForwardFill(void* data, uint32_t bytes) {
  AudioBufferSink* sink = sink_;
  if (sink != nullptr) sink->OnBuffer(this, data, bytes);
}

int32_t CDsAudioInterface::GetLatency() {
  return DsLatencyFrames(IsRunning(), params_.fifoFrames, params_.bufferCount,
                         params_.bufferFrames);
}

int32_t CDsAudioInterface::GetDeviceCount() {
  devices_.clear();
  HRESULT hr;
  {
    std::lock_guard<std::mutex> guard(EnumerationLock());
    hr = isInput_ ? DirectSoundCaptureEnumerateA(CollectDevice, &devices_)
                  : DirectSoundEnumerateA(CollectDevice, &devices_);
  }
  if (FAILED(hr)) {
    devices_.clear();
    SetErrorText("Error enumerating DirectSound devices");
  }
  return static_cast<int32_t>(devices_.size()) + (allowDefaultDevice_ ? 1 : 0);
}

void CDsAudioInterface::GetDeviceInfo(AudioDeviceInfo* info, int32_t index) {
  if (info == nullptr) return;
  DsDeviceInfoAt(devices_, allowDefaultDevice_, index, info);
}

int32_t CDsAudioInterface::Open(const AudioOpenParams& params) {
  params_ = params;
  const char* id = params_.deviceId.c_str();
  const DsGuidParse parse = DsGuidFromText(id, &openedGuid_);
  if (IsNoDeviceName(id) || (parse == DsGuidParse::kDefault && !allowDefaultDevice_)) {
    SetErrorText(isInput_ ? "No Input Device Selected" : "No Output Device Selected");
    return 2;
  }
  if (IsRunning()) {
    SetErrorText("Already Running!");
    return 1;
  }
  // A side that failed to open keeps nothing: clear what an earlier failed Open left.
  ReleaseObjects();
  failed_.store(false, std::memory_order_release);
  loopError_.store(0, std::memory_order_relaxed);
  loopBlocks_.store(0, std::memory_order_relaxed);

  if (parse == DsGuidParse::kMalformed) {
    SetErrorText("Invalid DirectSound device identifier: %s", id);
    return 1;
  }
  if (params_.bufferCount < kDsMinBlocks || params_.bufferCount > kDsMaxBlocks) {
    SetErrorText("DirectSound needs %i to %i buffers, not %i", kDsMinBlocks, kDsMaxBlocks,
                 params_.bufferCount);
    return 1;
  }
  if (params_.channels < 1 || params_.bufferFrames < 1 || params_.sampleRate < 1 ||
      (params_.bitsPerSample != 8 && params_.bitsPerSample != 16 &&
       params_.bitsPerSample != 24 && params_.bitsPerSample != 32)) {
    SetErrorText("Invalid DirectSound format: %i ch %i hz %i bits, %i frames",
                 params_.channels, params_.sampleRate, params_.bitsPerSample,
                 params_.bufferFrames);
    return 1;
  }

  const HRESULT comHr = CoInitialize(nullptr);
  // A thread already in the multi-threaded apartment serves DirectSound just as well.
  if (FAILED(comHr) && comHr != RPC_E_CHANGED_MODE) {
    SetErrorText("CoInitialize failed: %08x", HexCode(comHr));
    return 1;
  }
  if (SUCCEEDED(comHr)) {
    if (GetCurrentThreadId() == comThread_) {
      ++comInitCount_;
    } else {
      CoUninitialize();  // the reference is held by whoever initialised that thread
    }
  }

  for (int32_t i = 0; i < params_.bufferCount; ++i) {
    if (events_[i] == nullptr) events_[i] = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (events_[i] == nullptr) {
      SetErrorText("CreateEvent failed: %08x", static_cast<unsigned>(GetLastError()));
      ReleaseObjects();
      return 1;
    }
    ResetEvent(events_[i]);
  }

  format_ = DsBuildFormat(params_.channels, params_.sampleRate, params_.bitsPerSample);
  bytesPerFrame_ = format_.blockAlign;
  const uint64_t blockBytes = static_cast<uint64_t>(format_.blockAlign) *
                              static_cast<uint64_t>(params_.bufferFrames);
  const uint64_t totalBytes = blockBytes * static_cast<uint64_t>(params_.bufferCount);
  if (totalBytes > DSBSIZE_MAX) {
    SetErrorText("DirectSound buffer too large: %llu bytes",
                 static_cast<unsigned long long>(totalBytes));
    ReleaseObjects();
    return 1;
  }
  blockBytes_ = static_cast<uint32_t>(blockBytes);
  blockCount_ = params_.bufferCount;
  captureBytes_ = isInput_ ? static_cast<uint32_t>(totalBytes) : 0;

  worker_.SetBody(this);
  worker_.SetPriority(WorkerThread::kTimeCriticalPriority);

  LogPrintf("DS: Trying to open %s as %i ch %i hz... ", GetDirectionName(), params_.channels,
            params_.sampleRate);

  const int32_t result = isInput_ ? OpenInput() : OpenOutput();
  if (result != 0) {
    LogPrintf("%s\n", errorText_);
    ReleaseObjects();
    return result;
  }

  opened_.store(true, std::memory_order_release);
  if (worker_.Start() != 0) {
    opened_.store(false, std::memory_order_release);
    SetErrorText("DS: could not start the %s thread: %s", GetDirectionName(), worker_.StartFailureText());
    LogPrintf("%s\n", errorText_);
    ReleaseObjects();
    return 1;
  }
  LogPrintf("ok\n");
  return 0;
}

int32_t CDsAudioInterface::OpenInput() {
  const GUID guid = ToGuid(openedGuid_);
  HRESULT hr = DirectSoundCaptureCreate(&guid, &capture_, nullptr);
  if (FAILED(hr)) {
    capture_ = nullptr;
    SetErrorText("DirectSoundCaptureCreate failed: %08x", HexCode(hr));
    return 1;
  }

  WAVEFORMATEXTENSIBLE wfx = ToWaveFormat(format_);
  DSCBUFFERDESC desc;
  std::memset(&desc, 0, sizeof(desc));
  desc.dwSize = sizeof(DSCBUFFERDESC);
  desc.dwFlags = 0;
  desc.dwBufferBytes = captureBytes_;
  desc.lpwfxFormat = &wfx.Format;
  hr = capture_->CreateCaptureBuffer(&desc, &captureBuffer_, nullptr);
  if (FAILED(hr) && format_.extensible) {
    // A device that refuses the extensible form may still take the plain one.
    captureBuffer_ = nullptr;
    format_ = DsPlainFormat(format_);
    wfx = ToWaveFormat(format_);
    hr = capture_->CreateCaptureBuffer(&desc, &captureBuffer_, nullptr);
  }
  if (SUCCEEDED(hr)) {
    hr = captureBuffer_->QueryInterface(IID_IDirectSoundNotify,
                                        reinterpret_cast<void**>(&captureNotify_));
  } else {
    captureBuffer_ = nullptr;
  }
  if (SUCCEEDED(hr)) {
    DSBPOSITIONNOTIFY positions[kEventSlots];
    for (int32_t i = 0; i < blockCount_; ++i) {
      positions[i].dwOffset = DsCaptureNotifyOffset(i, blockBytes_);
      positions[i].hEventNotify = events_[i];
    }
    hr = captureNotify_->SetNotificationPositions(static_cast<DWORD>(blockCount_), positions);
  } else {
    captureNotify_ = nullptr;
  }
  if (FAILED(hr)) {
    SetErrorText("CreateCaptureBuffer failed: %08x", HexCode(hr));
    return 1;
  }

  hr = captureBuffer_->Start(DSCBSTART_LOOPING);
  if (FAILED(hr)) {
    SetErrorText("DSBCaptureStart failed: %08x", HexCode(hr));
    return 1;
  }
  return 0;
}

int32_t CDsAudioInterface::OpenOutput() {
  manager_.reset(new (std::nothrow) DSoundManager());
  if (!manager_) {
    SetErrorText("DSoundManager: Out of memory");
    return 1;
  }
  HRESULT hr = manager_->Initialize(ToGuid(openedGuid_), GetDesktopWindow(), DSSCL_PRIORITY);
  if (FAILED(hr)) {
    SetErrorText("DSoundManager::Initialize failed: %08x", HexCode(hr));
    return 1;
  }
  hr = manager_->SetPrimaryBufferFormat(params_.channels, params_.sampleRate,
                                        params_.bitsPerSample);
  if (FAILED(hr)) {
    SetErrorText("DSoundManager::SetPrimaryBufferFormat failed: %08x", HexCode(hr));
    return 1;
  }

  WAVEFORMATEXTENSIBLE wfx = ToWaveFormat(format_);
  constexpr DWORD kCreationFlags =
      DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_GLOBALFOCUS | DSBCAPS_CTRLPOSITIONNOTIFY;
  static_assert(kCreationFlags == 0x18100, "streaming buffer flags");
  DsStreamingSound* sound = nullptr;
  hr = manager_->CreateStreaming(&sound, &wfx.Format, kCreationFlags, GUID_NULL, blockCount_,
                                 blockBytes_, reinterpret_cast<const HANDLE*>(events_),
                                 fill_.get());
  if (FAILED(hr) && format_.extensible) {
    // A device that refuses the extensible form may still take the plain one.
    format_ = DsPlainFormat(format_);
    wfx = ToWaveFormat(format_);
    hr = manager_->CreateStreaming(&sound, &wfx.Format, kCreationFlags, GUID_NULL, blockCount_,
                                   blockBytes_, reinterpret_cast<const HANDLE*>(events_),
                                   fill_.get());
  }
  if (FAILED(hr)) {
    SetErrorText(DsCreateStreamingFailureFormat(static_cast<int32_t>(hr)), HexCode(hr));
    return 1;
  }
  sound_.reset(sound);
  sound_->SetRecoveryWorker(&worker_);
  sound_->SetWorkerRestoreLimit(static_cast<int32_t>(StallLimitMs(params_) / 10));

  hr = sound_->Reset();
  if (FAILED(hr)) {
    SetErrorText("DSoundManager::StreamingSound->Reset failed: %08x", HexCode(hr));
    return 1;
  }
  hr = sound_->FillBufferWithDSound(sound_->GetBuffer(0));
  if (FAILED(hr)) {
    SetErrorText("DSoundManager::FillBufferWithDSound failed: %08x", HexCode(hr));
    return 1;
  }
  hr = sound_->Play(0, DSBPLAY_LOOPING);
  if (FAILED(hr)) {
    SetErrorText("DSoundManager::StreamingSound->Play failed: %08x", HexCode(hr));
    return 1;
  }
  // DirectSound keeps a stretch ahead of its play cursor that can no longer be written
  // (up to the write cursor). A geometry whose refills land inside it would only glitch:
  // say so instead.
  DWORD play = 0;
  DWORD write = 0;
  const uint32_t total = blockBytes_ * static_cast<uint32_t>(blockCount_);
  if (SUCCEEDED(sound_->GetBuffer(0)->GetCurrentPosition(&play, &write)) && total > 0) {
    const uint32_t writeLead = (write % total + total - play % total) % total;
    LogPrintf("DS: write cursor %u bytes ahead of the play cursor\n", writeLead);
    if (!DsOutputGeometryFits(blockCount_, blockBytes_, writeLead, format_.avgBytesPerSec)) {
      const uint32_t bytesPerMs = format_.avgBytesPerSec / 1000u > 0 ? format_.avgBytesPerSec / 1000u : 1u;
      const uint32_t neededMs = std::max(kDsMinRefillLeadMs, writeLead / bytesPerMs + 1u);
      SetErrorText("DirectSound output needs its refills more than %u ms ahead of playback; "
                   "%i buffers of %i frames refill only %u ms ahead. Use more or larger buffers.",
                   neededMs, blockCount_, params_.bufferFrames,
                   DsRefillLeadBytes(blockCount_, blockBytes_) / bytesPerMs);
      return 1;
    }
  }
  return 0;
}

int32_t CDsAudioInterface::ExchangeCaptureBlock(int32_t block) {
  void* p1 = nullptr;
  void* p2 = nullptr;
  DWORD n1 = 0;
  DWORD n2 = 0;
  HRESULT hr = captureBuffer_->Lock(static_cast<DWORD>(block) * blockBytes_, blockBytes_, &p1,
                                    &n1, &p2, &n2, 0);
  if (FAILED(hr)) return hr;
  if (p1 != nullptr && n1 != 0) ForwardFill(p1, n1);
  return captureBuffer_->Unlock(p1, n1, p2, n2);
}

void CDsAudioInterface::ThreadBody(WorkerThread& worker) {
  // Index 0 is the worker's stop event, so a stop request always wins the wait; the
  // notification events follow in block order.
  HANDLE handles[1 + kEventSlots];
  handles[0] = static_cast<HANDLE>(worker.GetStopEvent());
  const int32_t blocks = blockCount_;
  for (int32_t i = 0; i < blocks; ++i) handles[1 + i] = static_cast<HANDLE>(events_[i]);

  // A removed device may simply stop notifying: the wait is bounded so that silence
  // longer than the stall limit marks the side failed instead of waiting for ever.
  const uint32_t stallMs = StallLimitMs(params_);
  const DWORD periodMs = stallMs / 5;
  uint32_t lastServed = MmTimeMs();
  bool served = false;
  int32_t next = 0;  // capture: the block expected next
  while (worker.IsRunning()) {
    const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(1 + blocks), handles, FALSE,
                                           periodMs);
    if (r == WAIT_OBJECT_0) continue;  // stop request (or a stray wake): check the flag
    if (r == WAIT_TIMEOUT) {
      const uint32_t limit = served ? stallMs : std::max(stallMs, kFirstBufferLimitMs);
      if (worker.IsRunning() && MmTimeMs() - lastServed > limit) {
        // The text goes before the flag is published; the window thread reads it only
        // after it saw the flag, and writes it only while this thread is not running.
        SetErrorText("Device stopped delivering audio");
        failed_.store(true, std::memory_order_release);
        worker.RequestStop();
        LogPrintf("DS: %s: no notification for %u ms\n", GetDirectionName(), static_cast<unsigned>(stallMs));
        break;
      }
      continue;
    }
    HRESULT hr = E_FAIL;
    int32_t block = -1;
    if (r > WAIT_OBJECT_0 && r <= WAIT_OBJECT_0 + static_cast<DWORD>(blocks)) {
      block = static_cast<int32_t>(r - WAIT_OBJECT_0 - 1);
      if (isInput_) {
        // The wait names only the lowest signalled block; collect the others (auto-reset
        // events, so each is taken once) and read in ring order from the expected block.
        uint32_t seen = 1u << block;
        for (int32_t i = 0; i < blocks; ++i)
          if (i != block && WaitForSingleObject(handles[1 + i], 0) == WAIT_OBJECT_0) seen |= 1u << i;
        const int32_t due = DsBlocksDue(seen, next, blocks);
        hr = S_OK;
        for (int32_t k = 0; k < due && SUCCEEDED(hr); ++k) {
          block = (next + k) % blocks;
          hr = ExchangeCaptureBlock(block);
          if (SUCCEEDED(hr)) loopBlocks_.fetch_add(1, std::memory_order_relaxed);
        }
        next = (next + due) % blocks;
      } else {
        hr = sound_->OnNotify();  // fills from the cursors, whichever notification woke us
        if (SUCCEEDED(hr)) loopBlocks_.store(sound_->FillCount(), std::memory_order_relaxed);
      }
    } else {
      hr = HRESULT_FROM_WIN32(GetLastError());
    }
    if (FAILED(hr)) {
      loopError_.store(static_cast<int32_t>(hr), std::memory_order_relaxed);
      SetErrorText(hr == DSERR_BUFFERLOST ? "DirectSound %s buffer lost: %08x" : "DirectSound %s block exchange failed: %08x",
                   GetDirectionName(), HexCode(hr));
      failed_.store(true, std::memory_order_release);
      worker.RequestStop();
      LogPrintf("DS: %s block %i exchange failed: %08x\n", GetDirectionName(), block,
                HexCode(hr));
      break;
    }
    lastServed = MmTimeMs();
    served = true;
  }
  LogPrintf("thread ending\n");
}

void CDsAudioInterface::ReleaseObjects() {
  if (sound_) {
    sound_->Stop();
    sound_->Reset();
    sound_.reset();
  }
  if (capture_ != nullptr || captureBuffer_ != nullptr) {
    if (captureBuffer_ != nullptr) captureBuffer_->Stop();
    if (captureNotify_ != nullptr) captureNotify_->Release();
    if (captureBuffer_ != nullptr) captureBuffer_->Release();
    if (capture_ != nullptr) capture_->Release();
  }
  captureNotify_ = nullptr;
  captureBuffer_ = nullptr;
  capture_ = nullptr;
  CloseEvents();
  manager_.reset();
}

void CDsAudioInterface::CloseEvents() {
  for (void*& e : events_) {
    if (e != nullptr) {
      CloseHandle(static_cast<HANDLE>(e));
      e = nullptr;
    }
  }
}

void CDsAudioInterface::Close() {
  opened_.store(false, std::memory_order_release);
  // The worker must have left before any DirectSound object it uses goes away.
  worker_.Stop();
  ReleaseObjects();
}
