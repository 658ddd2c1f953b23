// CWasapiAudioInterface: enumeration through the device enumerator, the open on the
// worker (shared mode with the engine's conversion where the rates differ, exclusive mode
// with format and period negotiation), the event-driven loop and the close.
#include "audio/wasapi/WasapiAudioInterface.h"

#include <windows.h>
#include <objbase.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <propidl.h>
#include <mmreg.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "engine/LogPrintf.h"

static_assert(kWasapiErrDeviceInvalidated == static_cast<int32_t>(AUDCLNT_E_DEVICE_INVALIDATED), "code");
static_assert(kWasapiErrUnsupportedFormat == static_cast<int32_t>(AUDCLNT_E_UNSUPPORTED_FORMAT), "code");
static_assert(kWasapiErrDeviceInUse == static_cast<int32_t>(AUDCLNT_E_DEVICE_IN_USE), "code");
static_assert(kWasapiErrExclusiveNotAllowed == static_cast<int32_t>(AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED), "code");
static_assert(kWasapiErrEndpointCreateFailed == static_cast<int32_t>(AUDCLNT_E_ENDPOINT_CREATE_FAILED), "code");
static_assert(kWasapiErrServiceNotRunning == static_cast<int32_t>(AUDCLNT_E_SERVICE_NOT_RUNNING), "code");
static_assert(kWasapiErrBufferSizeNotAligned == static_cast<int32_t>(AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED), "code");
static_assert(kWasapiErrInvalidDevicePeriod == static_cast<int32_t>(AUDCLNT_E_INVALID_DEVICE_PERIOD), "code");
// The format record handed to the audio client: the x64 layout of the SDK.
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is packed to 18 bytes");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "WAVEFORMATEXTENSIBLE layout");
static_assert(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20, "WAVEFORMATEXTENSIBLE layout");
static_assert(offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24, "WAVEFORMATEXTENSIBLE layout");

namespace {

// The two sub-formats of WAVEFORMATEXTENSIBLE used here (integer PCM, IEEE float), and
// the friendly-name property, spelled out so no GUID library has to provide them.
constexpr GUID kSubtypePcm = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr GUID kSubtypeFloat = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr PROPERTYKEY kFriendlyName = {{0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};

unsigned Hex(HRESULT hr) { return static_cast<unsigned>(hr); }

// Owns one COM reference; every path out of a function releases what it obtained.
template <class T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() { Reset(); }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  T* operator->() const { return p_; }
  T* Get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  void Reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

// COM for the calling thread in the multithreaded apartment, undone on leaving. A thread
// that already lives in a single-threaded apartment (the window thread, once DirectSound
// initialised it) can use the enumerator as it is.
class ComScope {
 public:
  ComScope() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  bool Usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }
  HRESULT Code() const { return hr_; }

 private:
  HRESULT hr_;
};

std::string Narrow(const wchar_t* w, UINT codePage) {
  if (w == nullptr || w[0] == 0) return {};
  const int n = WideCharToMultiByte(codePage, 0, w, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, w, -1, s.data(), n, nullptr, nullptr);
  s.resize(static_cast<size_t>(n - 1));
  return s;
}

std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
  if (n <= 1) return {};
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
  w.resize(static_cast<size_t>(n - 1));
  return w;
}

HRESULT MakeEnumerator(ComRef<IMMDeviceEnumerator>* en) {
  return CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                          en->PutVoid());
}

// The active endpoints of one direction, with their full friendly names (identifiers in
// UTF-8 so that they reopen exactly; names in the ANSI code page the dialog shows).
HRESULT ListEndpoints(IMMDeviceEnumerator* en, EDataFlow flow, std::vector<WasapiEndpoint>* out) {
  ComRef<IMMDeviceCollection> all;
  HRESULT hr = en->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, all.Put());
  if (FAILED(hr)) return hr;
  UINT count = 0;
  hr = all->GetCount(&count);
  if (FAILED(hr)) return hr;
  for (UINT i = 0; i < count; ++i) {
    ComRef<IMMDevice> device;
    if (FAILED(all->Item(i, device.Put()))) continue;
    LPWSTR id = nullptr;
    if (FAILED(device->GetId(&id)) || id == nullptr) continue;
    WasapiEndpoint e;
    e.id = Narrow(id, CP_UTF8);
    CoTaskMemFree(id);
    ComRef<IPropertyStore> props;
    if (SUCCEEDED(device->OpenPropertyStore(STGM_READ, props.Put()))) {
      PROPVARIANT v;
      PropVariantInit(&v);
      if (SUCCEEDED(props->GetValue(kFriendlyName, &v)) && v.vt == VT_LPWSTR) e.name = Narrow(v.pwszVal, CP_ACP);
      PropVariantClear(&v);
    }
    if (e.name.empty()) e.name = e.id;
    if (!e.id.empty()) out->push_back(std::move(e));
  }
  return S_OK;
}

WAVEFORMATEXTENSIBLE ToExtensible(const WasapiFormat& f) {
  WAVEFORMATEXTENSIBLE x;
  std::memset(&x, 0, sizeof(x));
  x.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  x.Format.nChannels = f.channels;
  x.Format.nSamplesPerSec = f.sampleRate;
  x.Format.nAvgBytesPerSec = f.avgBytesPerSec;
  x.Format.nBlockAlign = f.blockAlign;
  x.Format.wBitsPerSample = f.sample.containerBits;
  x.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  x.Samples.wValidBitsPerSample = f.sample.validBits;
  x.dwChannelMask = f.channelMask;
  x.SubFormat = f.sample.isFloat ? kSubtypeFloat : kSubtypePcm;
  return x;
}

// MMCSS registration of the calling thread, through avrt.dll loaded at run time (absent
// on some stripped-down systems; the worker's own priority 15 then stands alone).
class MmcssScope {
 public:
  MmcssScope() {
    avrt_ = LoadLibraryA("avrt.dll");
    if (avrt_ == nullptr) return;
    using SetFn = HANDLE(WINAPI*)(LPCSTR, LPDWORD);
    auto set = reinterpret_cast<SetFn>(reinterpret_cast<void*>(GetProcAddress(avrt_, "AvSetMmThreadCharacteristicsA")));
    revert_ = reinterpret_cast<void*>(GetProcAddress(avrt_, "AvRevertMmThreadCharacteristics"));
    DWORD task = 0;
    if (set != nullptr) task_ = set("Pro Audio", &task);
  }
  ~MmcssScope() {
    using RevertFn = BOOL(WINAPI*)(HANDLE);
    if (task_ != nullptr && revert_ != nullptr) reinterpret_cast<RevertFn>(revert_)(task_);
    if (avrt_ != nullptr) FreeLibrary(avrt_);
  }
  MmcssScope(const MmcssScope&) = delete;
  MmcssScope& operator=(const MmcssScope&) = delete;
  bool Registered() const { return task_ != nullptr; }

 private:
  HMODULE avrt_ = nullptr;
  void* revert_ = nullptr;
  HANDLE task_ = nullptr;
};

}  // namespace

// The objects of one open stream; created, used and released on the worker thread.
struct CWasapiAudioInterface::Stream {
  ComRef<IMMDeviceEnumerator> enumerator;
  ComRef<IMMDevice> device;
  ComRef<IAudioClient> client;
  ComRef<IAudioRenderClient> render;
  ComRef<IAudioCaptureClient> capture;
  HANDLE event = nullptr;
  bool started = false;
  UINT32 bufferFrames = 0;

  Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  ~Stream() {
    if (started) client->Stop();
    render.Reset();
    capture.Reset();
    client.Reset();
    device.Reset();
    enumerator.Reset();
    if (event != nullptr) CloseHandle(event);
  }
};

CAudioInterface* CreateWasapiAudioInterface(bool isInput, int32_t type) {
  if (type != kAudioTypeWasapi && type != kAudioTypeWasapiExclusive) return nullptr;
  return new CWasapiAudioInterface(isInput, type == kAudioTypeWasapiExclusive);
}

CWasapiAudioInterface::CWasapiAudioInterface(bool isInput, bool exclusive)
    : CAudioInterface(isInput), exclusive_(exclusive) {
  type_ = exclusive ? kAudioTypeWasapiExclusive : kAudioTypeWasapi;
}

CWasapiAudioInterface::~CWasapiAudioInterface() {
  Close();
  if (openDone_ != nullptr) CloseHandle(static_cast<HANDLE>(openDone_));
}

int32_t CWasapiAudioInterface::GetLatency() {
  return WasapiLatencyFrames(IsRunning(), isInput_, renderTargetFrames_, streamLatencyFrames_,
                             params_.bufferFrames, params_.fifoFrames);
}

int32_t CWasapiAudioInterface::GetDeviceCount() {
  // The port asks for the count again after every entry it adds; one enumeration serves
  // such a burst of calls, so the entries it reads all come from the same list.
  const uint64_t now = GetTickCount64();
  if (enumeratedAtMs_ != 0 && now - enumeratedAtMs_ < kEnumerationReuseMs)
    return WasapiDeviceCount(endpoints_, loopback_, allowDefaultDevice_);
  enumeratedAtMs_ = now;
  endpoints_.clear();
  loopback_.clear();
  ComScope com;
  HRESULT hr = com.Code();
  if (com.Usable()) {
    ComRef<IMMDeviceEnumerator> en;
    hr = MakeEnumerator(&en);
    if (SUCCEEDED(hr)) hr = ListEndpoints(en.Get(), isInput_ ? eCapture : eRender, &endpoints_);
    if (SUCCEEDED(hr) && isInput_) ListEndpoints(en.Get(), eRender, &loopback_);
  }
  if (FAILED(hr) || !com.Usable()) {
    endpoints_.clear();
    loopback_.clear();
    SetErrorText("Error enumerating WASAPI devices: %08x", Hex(hr));
  }
  return WasapiDeviceCount(endpoints_, loopback_, allowDefaultDevice_);
}

void CWasapiAudioInterface::GetDeviceInfo(AudioDeviceInfo* info, int32_t index) {
  if (info != nullptr) WasapiDeviceInfoAt(endpoints_, loopback_, allowDefaultDevice_, index, info);
}

int32_t CWasapiAudioInterface::Open(const AudioOpenParams& params) {
  const char* dir = GetDirectionName();
  if (IsRunning()) {
    SetErrorText("Already Running!");
    return 1;
  }
  params_ = params;
  failed_.store(false, std::memory_order_release);
  loopError_.store(0, std::memory_order_relaxed);
  loopBlocks_.store(0, std::memory_order_relaxed);
  discontinuities_.store(0, std::memory_order_relaxed);
  // A worker left over from an open that timed out must be gone before a new one starts.
  worker_.Stop();

  std::string endpoint;
  const WasapiIdKind kind = WasapiClassifyId(params_.deviceId.c_str(), &endpoint);
  if (kind == WasapiIdKind::kNone) {
    SetErrorText(isInput_ ? "No Input Device Selected" : "No Output Device Selected");
    return 2;
  }
  if (kind == WasapiIdKind::kDefault && !allowDefaultDevice_) {
    SetErrorText("Default %s device not allowed - must select explicitly.", dir);
    return 1;
  }
  if (kind == WasapiIdKind::kLoopback && (!isInput_ || exclusive_)) {
    SetErrorText(exclusive_ ? "Exclusive mode not available: loopback capture is shared only"
                            : "Loopback capture is an input: %s", params_.deviceId.c_str());
    return 1;
  }
  if (!WasapiPortSampleType(params_.bitsPerSample, &portType_)) {
    SetErrorText("WASAPI: %i-bit samples are not supported", params_.bitsPerSample);
    return 1;
  }
  if (params_.channels < 1 || params_.channels > 32 || params_.bufferFrames < 1 || params_.sampleRate < 1) {
    SetErrorText("Invalid WASAPI format: %i ch %i hz, %i frames", params_.channels, params_.sampleRate,
                 params_.bufferFrames);
    return 1;
  }
  bytesPerFrame_ = params_.channels * params_.bitsPerSample / 8;

  if (openDone_ == nullptr) openDone_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (openDone_ == nullptr) {
    SetErrorText("CreateEvent failed: %08x", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  ResetEvent(static_cast<HANDLE>(openDone_));
  openResult_ = 1;
  std::snprintf(openError_, sizeof(openError_), "WASAPI: the %s device did not open", dir);

  LogPrintf("WASAPI: Trying to open %s %s as %i ch %i hz... ", exclusive_ ? "exclusive" : "shared", dir,
            params_.channels, params_.sampleRate);
  worker_.SetBody(this);
  worker_.SetPriority(WorkerThread::kTimeCriticalPriority);
  if (worker_.Start() != 0) {
    SetErrorText("WASAPI: could not start the %s thread", dir);
    return 1;
  }
  // The worker opens the endpoint in its own apartment and reports here; a driver that
  // never answers must not hang the dialog.
  if (WaitForSingleObject(static_cast<HANDLE>(openDone_), kOpenTimeoutMs) != WAIT_OBJECT_0) {
    worker_.RequestStop();
    SetErrorText("WASAPI: the %s device did not answer within %u ms", dir, static_cast<unsigned>(kOpenTimeoutMs));
    LogPrintf("%s\n", errorText_);
    return 1;
  }
  if (openResult_ != 0) {
    worker_.Stop();
    SetErrorText("%s", openError_);
    LogPrintf("%s\n", errorText_);
    return openResult_;
  }
  opened_.store(true, std::memory_order_release);
  LogPrintf("ok\n");
  return 0;
}

void CWasapiAudioInterface::Close() {
  opened_.store(false, std::memory_order_release);
  // The worker releases every audio-client object itself, in its apartment, on the way out.
  worker_.Stop();
}

void CWasapiAudioInterface::ThreadBody(WorkerThread& worker) {
  // Order matters: the stream's objects go before the apartment they were made in.
  ComScope com;
  MmcssScope mmcss;
  mmcss_.store(mmcss.Registered(), std::memory_order_relaxed);
  {
    Stream s;
    int32_t result = 1;
    if (!com.Usable()) {
      SetOpenError("CoInitializeEx failed: %08x", Hex(com.Code()));
    } else {
      result = OpenOnWorker(s);
    }
    // The window thread reads openResult_ and errorText only after this signal.
    openResult_ = result;
    SetEvent(static_cast<HANDLE>(openDone_));
    if (result == 0) StreamLoop(worker, s);
  }
  LogPrintf("thread ending\n");
}

int32_t CWasapiAudioInterface::OpenOnWorker(Stream& s) {
  const char* dir = GetDirectionName();
  std::string endpoint;
  const WasapiIdKind kind = WasapiClassifyId(params_.deviceId.c_str(), &endpoint);
  const bool loopback = kind == WasapiIdKind::kLoopback;
  const EDataFlow flow = isInput_ && !loopback ? eCapture : eRender;

  HRESULT hr = MakeEnumerator(&s.enumerator);
  if (FAILED(hr)) {
    SetOpenError("WASAPI: no device enumerator: %08x", Hex(hr));
    return 1;
  }
  if (kind == WasapiIdKind::kDefault) {
    hr = s.enumerator->GetDefaultAudioEndpoint(flow, eConsole, s.device.Put());
    if (FAILED(hr)) {
      SetOpenError("WASAPI: no default %s device: %08x", dir, Hex(hr));
      return 1;
    }
  } else {
    // An endpoint id, or (from older settings or by hand) a listed name in any case.
    std::vector<WasapiEndpoint> list;
    ListEndpoints(s.enumerator.Get(), flow, &list);
    const WasapiEndpoint* found = nullptr;
    for (const WasapiEndpoint& e : list)
      if (e.id == endpoint) found = &e;
    for (const WasapiEndpoint& e : list)
      if (found == nullptr && EqualsIgnoreCase(e.name.c_str(), endpoint.c_str())) found = &e;
    if (found == nullptr) {
      SetOpenError("Couldn't find %s device \"%s\"", dir, params_.deviceId.c_str());
      return 1;
    }
    hr = s.enumerator->GetDevice(Widen(found->id).c_str(), s.device.Put());
    if (FAILED(hr)) {
      SetOpenError("WASAPI: %s device \"%s\" did not open: %08x", dir, found->name.c_str(), Hex(hr));
      return 1;
    }
  }
  hr = s.device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, s.client.PutVoid());
  if (FAILED(hr)) {
    SetOpenError("WASAPI: Activate failed: %08x", Hex(hr));
    return 1;
  }
  REFERENCE_TIME defaultPeriod = 0, minimumPeriod = 0;
  hr = s.client->GetDevicePeriod(&defaultPeriod, &minimumPeriod);
  if (FAILED(hr)) {
    SetOpenError("WASAPI: GetDevicePeriod failed: %08x", Hex(hr));
    return 1;
  }

  const int32_t rate = params_.sampleRate;
  const int32_t channels = params_.channels;
  DWORD flags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_NOPERSIST;
  autoConvert_ = false;
  if (!exclusive_) {
    WAVEFORMATEX* mix = nullptr;
    hr = s.client->GetMixFormat(&mix);
    if (FAILED(hr) || mix == nullptr) {
      SetOpenError("WASAPI: GetMixFormat failed: %08x", Hex(hr));
      return 1;
    }
    const uint32_t mixRate = mix->nSamplesPerSec;
    const int32_t mixChannels = mix->nChannels;
    CoTaskMemFree(mix);
    if (loopback) flags |= AUDCLNT_STREAMFLAGS_LOOPBACK;
    deviceFormat_ = WasapiBuildFormat(channels, rate, portType_);
    WAVEFORMATEXTENSIBLE wfx = ToExtensible(deviceFormat_);
    // The engine mixes at its own rate and channel count; anything else it converts only
    // when asked to. The buffer holds the side's whole rotation, as the other interfaces',
    // and at least three engine periods.
    autoConvert_ = static_cast<uint32_t>(rate) != mixRate || channels != mixChannels;
    const REFERENCE_TIME duration = WasapiSharedBufferHns(params_.bufferFrames, params_.bufferCount, rate, defaultPeriod);
    const DWORD convert = AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
    hr = s.client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags | (autoConvert_ ? convert : 0), duration, 0,
                              reinterpret_cast<WAVEFORMATEX*>(&wfx), nullptr);
    if (hr == AUDCLNT_E_UNSUPPORTED_FORMAT && !autoConvert_) {
      // Same rate but another sample type than the mix: the engine converts that too.
      autoConvert_ = true;
      s.client.Reset();
      hr = s.device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, s.client.PutVoid());
      if (SUCCEEDED(hr))
        hr = s.client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags | convert, duration, 0,
                                  reinterpret_cast<WAVEFORMATEX*>(&wfx), nullptr);
    }
    if (FAILED(hr)) {
      if (static_cast<uint32_t>(rate) != mixRate) {
        SetOpenError("WASAPI shared mode cannot convert %i Hz: the device mixes at %u Hz (%08x)", rate,
                     static_cast<unsigned>(mixRate), Hex(hr));
      } else {
        SetOpenError("WASAPI: Initialize failed for %i hz, %i ch, %i bits: %08x", rate, channels,
                     params_.bitsPerSample, Hex(hr));
      }
      return 1;
    }
    periodHns_ = defaultPeriod;
  } else {
    // The first of 16 bits, 24 in 32 and float that the device takes as it is.
    HRESULT last = AUDCLNT_E_UNSUPPORTED_FORMAT;
    bool chosen = false;
    for (const WasapiSampleType& t : kWasapiExclusiveOrder) {
      const WasapiFormat f = WasapiBuildFormat(channels, rate, t);
      WAVEFORMATEXTENSIBLE wfx = ToExtensible(f);
      last = s.client->IsFormatSupported(AUDCLNT_SHAREMODE_EXCLUSIVE, reinterpret_cast<WAVEFORMATEX*>(&wfx), nullptr);
      if (last == S_OK) {
        deviceFormat_ = f;
        chosen = true;
        break;
      }
      if (last == AUDCLNT_E_DEVICE_IN_USE || last == AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED) break;
    }
    if (!chosen) {
      if (last == AUDCLNT_E_DEVICE_IN_USE || last == AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED) {
        SetOpenError("%s", WasapiExclusiveRefusalText(static_cast<int32_t>(last)));
      } else {
        SetOpenError("Exclusive mode not available: the device takes none of 16-bit, 24-bit in 32 and "
                     "32-bit float at %i Hz, %i ch (%08x)", rate, channels, Hex(last));
      }
      return 1;
    }
    // Event-driven exclusive mode: buffer duration and period are the same, the side's
    // block where the device allows it; a device that wants its buffer aligned says how
    // long, and the stream is made again with that length.
    REFERENCE_TIME period = WasapiExclusivePeriodHns(params_.bufferFrames, rate, minimumPeriod);
    WAVEFORMATEXTENSIBLE wfx = ToExtensible(deviceFormat_);
    hr = s.client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, flags, period, period,
                              reinterpret_cast<WAVEFORMATEX*>(&wfx), nullptr);
    if (hr == AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED) {
      UINT32 aligned = 0;
      s.client->GetBufferSize(&aligned);
      period = WasapiFramesToHns(aligned, rate);
      s.client.Reset();
      hr = s.device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, s.client.PutVoid());
      if (SUCCEEDED(hr))
        hr = s.client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, flags, period, period,
                                  reinterpret_cast<WAVEFORMATEX*>(&wfx), nullptr);
    }
    if (FAILED(hr)) {
      const char* refusal = WasapiExclusiveRefusalText(static_cast<int32_t>(hr));
      if (refusal != nullptr) {
        SetOpenError("%s (%s, %i Hz, %i ch: %08x)", refusal, WasapiSampleTypeText(deviceFormat_.sample), rate,
                     channels, Hex(hr));
      } else {
        SetOpenError("WASAPI exclusive Initialize failed for %s, %i Hz, %i ch: %08x",
                     WasapiSampleTypeText(deviceFormat_.sample), rate, channels, Hex(hr));
      }
      return 1;
    }
    periodHns_ = period;
  }

  s.event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (s.event == nullptr) {
    SetOpenError("CreateEvent failed: %08x", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  hr = s.client->SetEventHandle(s.event);
  if (SUCCEEDED(hr)) hr = s.client->GetBufferSize(&s.bufferFrames);
  if (FAILED(hr)) {
    SetOpenError("WASAPI: SetEventHandle/GetBufferSize failed: %08x", Hex(hr));
    return 1;
  }
  deviceBufferFrames_ = static_cast<int32_t>(s.bufferFrames);
  // Exclusive playback hands over the whole buffer per event; shared playback keeps it
  // only as full as the side's rotation, so the buffer's slack absorbs late wakes
  // without adding its length to the latency.
  renderTargetFrames_ = exclusive_ ? deviceBufferFrames_
                                   : WasapiRenderTargetFrames(params_.bufferFrames, params_.bufferCount,
                                                              static_cast<int32_t>(WasapiHnsToFrames(periodHns_, rate)),
                                                              deviceBufferFrames_);
  REFERENCE_TIME latency = 0;
  streamLatencyFrames_ =
      SUCCEEDED(s.client->GetStreamLatency(&latency)) ? static_cast<int32_t>(WasapiHnsToFrames(latency, rate)) : 0;
  hr = isInput_ ? s.client->GetService(__uuidof(IAudioCaptureClient), s.capture.PutVoid())
                : s.client->GetService(__uuidof(IAudioRenderClient), s.render.PutVoid());
  if (FAILED(hr)) {
    if (loopback) {
      SetOpenError("WASAPI: loopback capture not available for \"%s\": %08x", params_.deviceId.c_str(), Hex(hr));
    } else {
      SetOpenError("WASAPI: GetService failed: %08x", Hex(hr));
    }
    return 1;
  }
  stager_.Setup(params_.bufferFrames, channels, portType_, deviceFormat_.sample);
  if (!isInput_) {
    // Silence first, so the first event asks for one period and not the whole buffer;
    // the port is not called here (its lock is held by the opening thread, which waits).
    const UINT32 prefill = static_cast<UINT32>(renderTargetFrames_);
    BYTE* data = nullptr;
    hr = s.render->GetBuffer(prefill, &data);
    if (SUCCEEDED(hr)) hr = s.render->ReleaseBuffer(prefill, AUDCLNT_BUFFERFLAGS_SILENT);
    if (FAILED(hr)) {
      SetOpenError("WASAPI: prefill failed: %08x", Hex(hr));
      return 1;
    }
  }
  hr = s.client->Start();
  if (FAILED(hr)) {
    SetOpenError("WASAPI: Start failed: %08x", Hex(hr));
    return 1;
  }
  s.started = true;
  return 0;
}

void CWasapiAudioInterface::StreamLoop(WorkerThread& worker, Stream& s) {
  // The stop event first, so a stop request wins over a stream event.
  const HANDLE handles[2] = {static_cast<HANDLE>(worker.GetStopEvent()), s.event};
  const uint32_t boundMs = WasapiWaitBoundMs(periodHns_);
  while (worker.IsRunning()) {
    const DWORD r = WaitForMultipleObjects(2, handles, FALSE, boundMs);
    if (!worker.IsRunning()) break;
    if (r == WAIT_FAILED) {
      Fail(HRESULT_FROM_WIN32(GetLastError()), "wait");
      break;
    }
    // A wake without the stream's event (time-out, stray stop signal) still services the
    // stream: a vanished device then shows in the client's answer instead of in silence.
    int32_t hr = 0;
    const bool signalled = r == WAIT_OBJECT_0 + 1;
    const bool ok = isInput_ ? ServiceCapture(s, &hr) : (signalled || !exclusive_ ? ServiceRender(s, &hr) : true);
    if (!ok) {
      Fail(hr, isInput_ ? "capture" : "render");
      worker.RequestStop();
      break;
    }
    if (!isInput_ && exclusive_ && !signalled) {
      // Exclusive playback is written a whole buffer per event; without one only ask
      // whether the device is still there.
      UINT32 padding = 0;
      const HRESULT probe = s.client->GetCurrentPadding(&padding);
      if (FAILED(probe)) {
        Fail(probe, "render");
        worker.RequestStop();
        break;
      }
    }
    loopBlocks_.store(stager_.BlocksDone(), std::memory_order_relaxed);
  }
}

bool CWasapiAudioInterface::ServiceCapture(Stream& s, int32_t* code) {
  // Bounded, so a device that keeps delivering cannot keep the loop from its stop check.
  for (int packets = 0; packets < 64; ++packets) {
    UINT32 next = 0;
    HRESULT hr = s.capture->GetNextPacketSize(&next);
    if (FAILED(hr)) {
      *code = hr;
      return false;
    }
    if (next == 0) {
      // Nothing came: a capture stream whose endpoint has gone can keep answering "no
      // packet" without error, while the client's padding query reports the loss.
      if (packets == 0) {
        UINT32 padding = 0;
        hr = s.client->GetCurrentPadding(&padding);
        if (FAILED(hr)) {
          *code = hr;
          return false;
        }
      }
      return true;
    }
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    hr = s.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
    if (hr == AUDCLNT_S_BUFFER_EMPTY) return true;
    if (FAILED(hr)) {
      *code = hr;
      return false;
    }
    // A discontinuity flag means the engine dropped frames before this packet (the loop
    // was late); the stream goes on, the count tells the report.
    if ((flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0 && loopBlocks_.load(std::memory_order_relaxed) > 0)
      discontinuities_.fetch_add(1, std::memory_order_relaxed);
    stager_.Capture((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 ? nullptr : data, frames, sink_, this);
    hr = s.capture->ReleaseBuffer(frames);
    if (FAILED(hr)) {
      *code = hr;
      return false;
    }
  }
  return true;
}

bool CWasapiAudioInterface::ServiceRender(Stream& s, int32_t* code) {
  UINT32 frames = s.bufferFrames;
  HRESULT hr = S_OK;
  if (!exclusive_) {
    // Shared mode: top the buffer up to the target; the engine takes a period at a time.
    UINT32 padding = 0;
    hr = s.client->GetCurrentPadding(&padding);
    if (FAILED(hr)) {
      *code = hr;
      return false;
    }
    const UINT32 target = static_cast<UINT32>(renderTargetFrames_);
    frames = padding < target ? target - padding : 0;
    if (frames == 0) return true;
  }
  BYTE* data = nullptr;
  hr = s.render->GetBuffer(frames, &data);
  if (FAILED(hr)) {
    *code = hr;
    return false;
  }
  stager_.Render(data, frames, sink_, this);
  hr = s.render->ReleaseBuffer(frames, 0);
  if (FAILED(hr)) {
    *code = hr;
    return false;
  }
  return true;
}

void CWasapiAudioInterface::SetOpenError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(openError_, sizeof(openError_), format, args);
  va_end(args);
}

void CWasapiAudioInterface::Fail(int32_t hr, const char* what) {
  loopError_.store(hr, std::memory_order_relaxed);
  failed_.store(true, std::memory_order_release);
  // errorText belongs to the window thread; the loop reports its code through the log.
  LogPrintf("WASAPI: %s %s failed: %08x\n", GetDirectionName(), what, Hex(hr));
}
