#include "audio/ds/DSoundManager_win32.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "audio/ds/DsCore.h"
#include "support/WorkerThread.h"

// ---- DsStreamingSound -------------------------------------------------------------------

DsStreamingSound::DsStreamingSound(IDirectSoundBuffer* buffer, uint32_t bufferBytes,
                                   uint32_t blockBytes, DsFillCallback* fill,
                                   DWORD creationFlags)
    : bufferBytes_(bufferBytes), blockBytes_(blockBytes), fill_(fill),
      creationFlags_(creationFlags) {
  buffers_[0] = buffer;
}

DsStreamingSound::~DsStreamingSound() {
  for (IDirectSoundBuffer*& b : buffers_) {
    if (b != nullptr) {
      b->Release();
      b = nullptr;
    }
  }
}

bool DsStreamingSound::KeepRestoring(int32_t tries) const {
  if (recoveryWorker_ != nullptr && recoveryWorker_->GetActiveCount() != 0 &&
      GetCurrentThreadId() == recoveryWorker_->GetThreadId()) {
    return recoveryWorker_->IsRunning() && (workerRestoreLimit_ <= 0 || tries < workerRestoreLimit_);
  }
  return tries < kMaxRestoreTriesOutsideWorker;
}

HRESULT DsStreamingSound::RecoverLostBuffer(IDirectSoundBuffer* buffer, bool* restored) {
  if (restored != nullptr) *restored = false;
  if (buffer == nullptr) return E_INVALIDARG;
  DWORD status = 0;
  HRESULT hr = buffer->GetStatus(&status);
  if (FAILED(hr)) return hr;
  if ((status & DSBSTATUS_BUFFERLOST) == 0) return 1;

  // Another application holds the device exclusively; the buffer comes back when it lets
  // go. The worker keeps trying until it is asked to stop, other threads give up in time.
  int32_t tries = 0;
  for (;;) {
    hr = buffer->Restore();
    if (hr != DSERR_BUFFERLOST) break;
    if (!KeepRestoring(++tries)) return DSERR_BUFFERLOST;
    Sleep(10);
  }
  if (FAILED(hr)) return hr;
  restoreCount_.fetch_add(1, std::memory_order_relaxed);
  if (restored != nullptr) *restored = true;
  return 0;
}

HRESULT DsStreamingSound::FillBufferWithDSound(IDirectSoundBuffer* buffer) {
  HRESULT hr = RecoverLostBuffer(buffer, nullptr);
  if (FAILED(hr)) return hr;
  void* p1 = nullptr;
  void* p2 = nullptr;
  DWORD n1 = 0;
  DWORD n2 = 0;
  hr = buffer->Lock(0, bufferBytes_, &p1, &n1, &p2, &n2, 0);
  if (FAILED(hr)) return hr;
  if (p1 == nullptr || n1 < bufferBytes_) {
    buffer->Unlock(p1, n1, p2, n2);
    return E_UNEXPECTED;
  }
  std::memset(p1, 0, n1);
  // Pieces start on block boundaries inside the locked whole buffer, so a sink that
  // always writes a whole block (the port converts whole blocks) stays inside the lock
  // even for the short last piece of an odd block count.
  const uint32_t prefill = DsPrefillBytes(bufferBytes_);
  refill_.Start(BlockCount(), blockBytes_, DsFirstRefillBlock(bufferBytes_, blockBytes_));
  auto* bytes = static_cast<uint8_t*>(p1);
  for (uint32_t done = 0; done < prefill;) {
    const uint32_t piece = prefill - done < blockBytes_ ? prefill - done : blockBytes_;
    if (fill_ != nullptr) fill_->OnFill(bytes + done, piece);
    done += piece;
  }
  return buffer->Unlock(p1, n1, p2, n2);
}

HRESULT DsStreamingSound::Reset() {
  IDirectSoundBuffer* buffer = buffers_[0];
  HRESULT hr = RecoverLostBuffer(buffer, nullptr);
  if (FAILED(hr)) return hr;
  fillCount_.store(0, std::memory_order_relaxed);
  restoreCount_.store(0, std::memory_order_relaxed);
  lateCount_.store(0, std::memory_order_relaxed);
  lastOffset_.store(0, std::memory_order_relaxed);
  return buffer->SetCurrentPosition(0);
}

IDirectSoundBuffer* DsStreamingSound::PickIdleBuffer() {
  for (IDirectSoundBuffer* b : buffers_) {
    DWORD status = 0;
    if (b != nullptr && SUCCEEDED(b->GetStatus(&status)) && (status & DSBSTATUS_PLAYING) == 0) {
      return b;
    }
  }
  return buffers_[std::rand() % kBufferCount];
}

HRESULT DsStreamingSound::Play(DWORD priority, DWORD flags) {
  IDirectSoundBuffer* buffer = PickIdleBuffer();
  if (buffer == nullptr) return E_UNEXPECTED;
  HRESULT hr = RecoverLostBuffer(buffer, nullptr);
  if (FAILED(hr)) return hr;
  // Volume, frequency and pan would be applied here for buffers created with the matching
  // control flags; the streaming buffer is created without them.
  (void)creationFlags_;
  return buffer->Play(0, priority, flags);
}

HRESULT DsStreamingSound::OnNotify() {
  IDirectSoundBuffer* buffer = buffers_[0];
  bool restored = false;
  HRESULT hr = RecoverLostBuffer(buffer, &restored);
  if (FAILED(hr)) return hr;
  if (restored) return S_OK;  // the due block is skipped; the next notification refills

  DWORD play = 0;
  DWORD write = 0;
  hr = buffer->GetCurrentPosition(&play, &write);
  if (FAILED(hr)) return hr;
  const int32_t blocks = BlockCount();
  const DsRefillPlan plan = refill_.Plan(play, write);
  if (plan.late) lateCount_.fetch_add(1, std::memory_order_relaxed);
  for (int32_t k = 0; k < plan.count; ++k) {
    const int32_t block = (plan.first + k) % blocks;
    const uint32_t offset = static_cast<uint32_t>(block) * blockBytes_;
    lastOffset_.store(offset, std::memory_order_relaxed);
    void* p1 = nullptr;
    void* p2 = nullptr;
    DWORD n1 = 0;
    DWORD n2 = 0;
    hr = buffer->Lock(offset, blockBytes_, &p1, &n1, &p2, &n2, 0);
    if (FAILED(hr)) return hr;
    if (p2 != nullptr || n2 != 0 || p1 == nullptr || n1 != blockBytes_) {
      // Blocks are aligned to the buffer, so a wrapped lock means the buffer is not what
      // it was created as.
      buffer->Unlock(p1, n1, p2, n2);
      return E_UNEXPECTED;
    }
    if (fill_ != nullptr) fill_->OnFill(p1, n1);
    fillCount_.fetch_add(1, std::memory_order_relaxed);
    hr = buffer->Unlock(p1, n1, p2, n2);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT DsStreamingSound::Stop() {
  HRESULT result = S_OK;
  for (IDirectSoundBuffer* b : buffers_) {
    if (b == nullptr) continue;
    const HRESULT hr = b->Stop();
    if (FAILED(hr)) result = hr;
  }
  return result;
}

// ---- DSoundManager ------------------------------------------------------------------------

DSoundManager::~DSoundManager() {
  if (directSound_ != nullptr) {
    directSound_->Release();
    directSound_ = nullptr;
  }
}

HRESULT DSoundManager::Initialize(const GUID& device, HWND window, DWORD cooperativeLevel) {
  if (directSound_ != nullptr) {
    directSound_->Release();
    directSound_ = nullptr;
  }
  HRESULT hr = DirectSoundCreate(&device, &directSound_, nullptr);
  if (FAILED(hr)) {
    directSound_ = nullptr;
    return hr;
  }
  return directSound_->SetCooperativeLevel(window, cooperativeLevel);
}

HRESULT DSoundManager::SetPrimaryBufferFormat(int32_t channels, int32_t sampleRate,
                                              int32_t bitsPerSample) {
  if (directSound_ == nullptr) return CO_E_NOTINITIALIZED;
  DSBUFFERDESC desc;
  std::memset(&desc, 0, sizeof(desc));
  desc.dwSize = sizeof(DSBUFFERDESC);
  desc.dwFlags = DSBCAPS_PRIMARYBUFFER;
  IDirectSoundBuffer* primary = nullptr;
  HRESULT hr = directSound_->CreateSoundBuffer(&desc, &primary, nullptr);
  if (FAILED(hr)) return hr;

  const DsWaveFormat f = DsBuildFormat(channels, sampleRate, bitsPerSample);
  WAVEFORMATEX wfx;
  std::memset(&wfx, 0, sizeof(wfx));
  wfx.wFormatTag = f.formatTag;
  wfx.nChannels = f.channels;
  wfx.nSamplesPerSec = f.samplesPerSec;
  wfx.wBitsPerSample = f.bitsPerSample;
  wfx.nBlockAlign = f.blockAlign;
  wfx.nAvgBytesPerSec = f.samplesPerSec * f.blockAlign;
  wfx.cbSize = 0;
  hr = primary->SetFormat(&wfx);
  primary->Release();
  return hr;
}

HRESULT DSoundManager::CreateStreaming(DsStreamingSound** sound, const WAVEFORMATEX* format,
                                       DWORD creationFlags, const GUID& algorithm3d,
                                       int32_t blockCount, uint32_t blockBytes,
                                       const HANDLE* events, DsFillCallback* fill) {
  if (directSound_ == nullptr) return CO_E_NOTINITIALIZED;
  if (sound == nullptr) return E_INVALIDARG;
  *sound = nullptr;
  if (format == nullptr || events == nullptr || blockCount < 1 || blockBytes == 0) {
    return E_INVALIDARG;
  }

  DSBUFFERDESC desc;
  std::memset(&desc, 0, sizeof(desc));
  desc.dwSize = sizeof(DSBUFFERDESC);
  desc.dwFlags = creationFlags | DSBCAPS_CTRLPOSITIONNOTIFY | DSBCAPS_GETCURRENTPOSITION2;
  desc.dwBufferBytes = static_cast<DWORD>(blockCount) * blockBytes;
  desc.lpwfxFormat = const_cast<WAVEFORMATEX*>(format);
  desc.guid3DAlgorithm = algorithm3d;
  IDirectSoundBuffer* buffer = nullptr;
  HRESULT hr = directSound_->CreateSoundBuffer(&desc, &buffer, nullptr);
  if (FAILED(hr)) return hr;

  IDirectSoundNotify* notify = nullptr;
  hr = buffer->QueryInterface(IID_IDirectSoundNotify, reinterpret_cast<void**>(&notify));
  if (FAILED(hr)) {
    buffer->Release();
    return hr;
  }
  auto* positions = new (std::nothrow) DSBPOSITIONNOTIFY[static_cast<size_t>(blockCount)];
  if (positions == nullptr) {
    notify->Release();
    buffer->Release();
    return E_OUTOFMEMORY;
  }
  for (int32_t i = 0; i < blockCount; ++i) {
    positions[i].dwOffset = DsPlaybackNotifyOffset(i, blockBytes);
    positions[i].hEventNotify = events[i];
  }
  hr = notify->SetNotificationPositions(static_cast<DWORD>(blockCount), positions);
  delete[] positions;
  notify->Release();
  if (FAILED(hr)) {
    buffer->Release();
    return hr;
  }

  *sound = new (std::nothrow) DsStreamingSound(buffer, desc.dwBufferBytes, blockBytes, fill,
                                               creationFlags);
  if (*sound == nullptr) {
    buffer->Release();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}
