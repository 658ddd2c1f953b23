// CKsAudioPin and its render and capture kinds.
#include "KernelStreaming/KsAudio.h"
#include "KernelStreaming/KsReplyCheck.h"
#include "KernelStreaming/KsTrace.h"

#include <cstring>
#include <new>

namespace {
constexpr GUID kWaveFormatGuidBase = {0x00000000, 0x0000, 0x0010,
                                      {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
// KSPIN_CONNECT holds a handle, so it is 64 bytes in a 32-bit process and 72 in a 64-bit
// one; the data format must follow it directly either way.
constexpr ULONG kConnectBytes = sizeof(KSPIN_CONNECT);
constexpr ULONG kHeaderBytes = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);
static_assert(sizeof(KSDATAFORMAT) == kKsDataRangeHeaderBytes, "published layout");
}  // namespace

ULONG KsWaveFormatSize(const WAVEFORMATEX* wfx) {
  if (wfx->wFormatTag == WAVE_FORMAT_PCM) return 18;
  return 18u + wfx->cbSize;
}

bool KsIsWaveFormatGuid(const GUID& guid) {
  return guid.Data2 == kWaveFormatGuidBase.Data2 && guid.Data3 == kWaveFormatGuidBase.Data3 &&
         std::memcmp(guid.Data4, kWaveFormatGuidBase.Data4, sizeof(guid.Data4)) == 0;
}

GUID KsWaveFormatSubtype(const WAVEFORMATEX* wfx) {
  if (wfx->wFormatTag == WAVE_FORMAT_EXTENSIBLE && wfx->cbSize >= 22)
    return reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(wfx)->SubFormat;
  GUID guid = kWaveFormatGuidBase;
  guid.Data1 = wfx->wFormatTag;
  return guid;
}

CKsAudioPin::CKsAudioPin(CKsFilter* filter, ULONG pinId, HRESULT* hr) : CKsPin(filter, pinId, hr) {
  if (FAILED(*hr)) return;
  *hr = InitPinConnect();
  if (SUCCEEDED(*hr)) *hr = ReadAudioDataRanges();
  KS_LEAVE(*hr);
}

CKsAudioPin::~CKsAudioPin() {
  for (KSDATARANGE_AUDIO* range : m_listDataRange) delete range;
  m_listDataRange.Clear();
  delete[] reinterpret_cast<uint8_t*>(m_pWaveFormat);
  m_pWaveFormat = nullptr;
}

HRESULT CKsAudioPin::InitPinConnect() {
  uint8_t* block = new (std::nothrow) uint8_t[kInitialBlockBytes];  // header + 18-byte WAVEFORMATEX
  if (!block) {
    KsTrace(1, "Failed to allocate m_pksPinCreate");
    return E_OUTOFMEMORY;
  }
  std::memset(block, 0, kInitialBlockBytes);
  m_pksPinCreate = reinterpret_cast<KSPIN_CONNECT*>(block);
  m_cbPinCreate = kInitialBlockBytes;
  m_pksPinCreate->Interface.Set = KSINTERFACESETID_Standard;
  m_pksPinCreate->Interface.Id = KSINTERFACE_STANDARD_STREAMING;
  m_pksPinCreate->Interface.Flags = 0;
  m_pksPinCreate->Medium.Set = KSMEDIUMSETID_Standard;
  m_pksPinCreate->Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  m_pksPinCreate->Medium.Flags = 0;
  m_pksPinCreate->PinId = m_nId;
  m_pksPinCreate->PinToHandle = nullptr;
  m_pksPinCreate->Priority.PriorityClass = KSPRIORITY_NORMAL;
  m_pksPinCreate->Priority.PrioritySubClass = 1;
  m_pksDataFormatWfx = reinterpret_cast<KSDATAFORMAT*>(block + kConnectBytes);
  m_pksDataFormatWfx->FormatSize = sizeof(KSDATAFORMAT) + 18;
  m_pksDataFormatWfx->Flags = 0;
  m_pksDataFormatWfx->Reserved = 0;
  m_pksDataFormatWfx->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  m_pksDataFormatWfx->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  m_pksDataFormatWfx->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  return S_OK;
}

HRESULT CKsAudioPin::ReadAudioDataRanges() {
  ULONG count = 0;
  const KSIDENTIFIER* ids = Interfaces(&count);
  for (ULONG i = 0; i < count; ++i) {
    KSIDENTIFIER id;
    std::memcpy(&id, ids + i, sizeof(id));
    if (!IsEqualGUID(id.Set, KSINTERFACESETID_Standard)) continue;
    if (id.Id == KSINTERFACE_STANDARD_STREAMING) m_bStandardStreaming = true;
    if (id.Id == KSINTERFACE_STANDARD_LOOPED_STREAMING) m_bLoopedStreaming = true;
  }
  // A real-time pin lists only the looped interface; one of the two is needed.
  if (!m_bStandardStreaming && !m_bLoopedStreaming) {
    KsTrace(1, "No standard streaming interfaces on the pin");
    return E_FAIL;
  }
  bool found = false;
  ids = Mediums(&count);
  for (ULONG i = 0; i < count && !found; ++i) {
    KSIDENTIFIER id;
    std::memcpy(&id, ids + i, sizeof(id));
    found = IsEqualGUID(id.Set, KSMEDIUMSETID_Standard) && id.Id == KSMEDIUM_TYPE_ANYINSTANCE;
  }
  if (!found) {
    KsTrace(1, "No standard streaming mediums on the pin");
    return E_FAIL;
  }

  // Each range is found from the previous one by its FormatSize; the walk stops at the
  // first size that is too small or runs past the reply (see KsDataRangeWalk).
  ULONG bytes = 0;
  ULONG announced = 0;
  const uint8_t* data = DataRanges(&bytes, &announced);
  HRESULT hr = S_OK;
  bool anyQualified = false;
  KsDataRangeWalk walk(data, bytes, announced);
  const uint8_t* at = nullptr;
  uint32_t formatSize = 0;
  while (walk.Next(&at, &formatSize)) {
    KSDATARANGE range;
    std::memcpy(&range, at, sizeof(range));
    bool qualifies = anyQualified || KsIsWaveFormatGuid(range.SubFormat) ||
                     IsEqualGUID(range.SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ||
                     IsEqualGUID(range.SubFormat, GUID_NULL);
    if (qualifies) anyQualified = true;
    // Only a record long enough to hold the audio limits can be kept as one.
    if (qualifies && IsEqualGUID(range.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
        formatSize >= sizeof(KSDATARANGE_AUDIO)) {
      KSDATARANGE_AUDIO* copy = new (std::nothrow) KSDATARANGE_AUDIO;
      if (!copy) {
        KsTrace(1, "Unable to allocate memory to save datarange in");
        hr = E_OUTOFMEMORY;
      } else {
        std::memcpy(copy, at, sizeof(KSDATARANGE_AUDIO));
        if (!m_listDataRange.AddTail(copy)) {
          delete copy;
          KsTrace(1, "Unable to allocate list entry to save datarange in");
          hr = E_OUTOFMEMORY;
        }
      }
    }
  }
  if (walk.StoppedOnBadSize())
    KsTrace(1, "Data range %lu on PinID %lu has a FormatSize of %lu; walk stopped",
            static_cast<unsigned long>(walk.Index()), static_cast<unsigned long>(m_nId),
            static_cast<unsigned long>(walk.BadFormatSize()));
  if (!anyQualified) {
    KsTrace(1, "No audio dataranges on the pin");
    return E_FAIL;
  }
  return hr;
}

bool CKsAudioPin::SupportsFormat(const WAVEFORMATEX* pwfx) const {
  if (!pwfx) return false;
  GUID subtype = KsWaveFormatSubtype(pwfx);
  for (const KSDATARANGE_AUDIO* r : m_listDataRange) {
    const KSDATARANGE& d = r->DataRange;
    if (!IsEqualGUID(d.MajorFormat, GUID_NULL) && !IsEqualGUID(d.MajorFormat, KSDATAFORMAT_TYPE_AUDIO))
      continue;
    if (!IsEqualGUID(d.SubFormat, GUID_NULL) && !IsEqualGUID(d.SubFormat, subtype)) continue;
    if (!IsEqualGUID(d.Specifier, GUID_NULL) &&
        !IsEqualGUID(d.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
      continue;
    if (r->MaximumChannels < pwfx->nChannels) continue;
    if (pwfx->wBitsPerSample < r->MinimumBitsPerSample || pwfx->wBitsPerSample > r->MaximumBitsPerSample)
      continue;
    if (pwfx->nSamplesPerSec < r->MinimumSampleFrequency ||
        pwfx->nSamplesPerSec > r->MaximumSampleFrequency)
      continue;
    return true;
  }
  return false;
}

HRESULT CKsAudioPin::ApplyFormat(const WAVEFORMATEX* pwfx) {
  if (!pwfx || !m_pksDataFormatWfx) {
    KsTrace(1, "pwfx or m_pksDataFormatWfx are NULL");
    KS_LEAVE(E_FAIL);
    return E_FAIL;
  }
  ULONG size = KsWaveFormatSize(pwfx);
  ULONG needed = kHeaderBytes + size;
  if (m_cbPinCreate != needed) {
    uint8_t* block = new (std::nothrow) uint8_t[needed];
    if (!block) {
      KsTrace(1, "Unable to allocate KSPIN_CONNECT structure");
      KS_LEAVE(E_OUTOFMEMORY);
      return E_OUTOFMEMORY;
    }
    std::memset(block, 0, needed);
    std::memcpy(block, m_pksPinCreate, m_cbPinCreate < needed ? m_cbPinCreate : needed);
    delete[] reinterpret_cast<uint8_t*>(m_pksPinCreate);
    m_pksPinCreate = reinterpret_cast<KSPIN_CONNECT*>(block);
    m_cbPinCreate = needed;
    m_pksDataFormatWfx = reinterpret_cast<KSDATAFORMAT*>(block + kConnectBytes);
  }
  m_pksDataFormatWfx->FormatSize = sizeof(KSDATAFORMAT) + size;
  std::memcpy(reinterpret_cast<uint8_t*>(m_pksPinCreate) + kHeaderBytes, pwfx, size);
  m_pksDataFormatWfx->SampleSize =
      static_cast<uint16_t>(pwfx->nChannels * pwfx->wBitsPerSample / 8);

  delete[] reinterpret_cast<uint8_t*>(m_pWaveFormat);
  m_pWaveFormat = nullptr;
  uint8_t* copy = new (std::nothrow) uint8_t[size];
  if (copy) {
    std::memcpy(copy, pwfx, size);
    m_pWaveFormat = reinterpret_cast<WAVEFORMATEX*>(copy);
  }
  KS_LEAVE(S_OK);
  return S_OK;
}

CKsRenderPin::CKsRenderPin(CKsFilter* filter, ULONG pinId, HRESULT* hr) : CKsAudioPin(filter, pinId, hr) {
  m_nPinKind = 1;
}

CKsCapturePin::CKsCapturePin(CKsFilter* filter, ULONG pinId, HRESULT* hr) : CKsAudioPin(filter, pinId, hr) {
  m_nPinKind = 2;
}

// ---- Real-time pins ----------------------------------------------------------------------

bool CKsAudioPin::SupportsRealTime() {
  KSPROPERTY prop;
  std::memset(&prop, 0, sizeof(prop));
  prop.Set = KSPROPSETID_RtAudio;
  prop.Id = 0;
  prop.Flags = KSPROPERTY_TYPE_SETSUPPORT;
  ULONG returned = 0;
  const HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &prop, sizeof(prop), nullptr, 0, &returned);
  KS_LEAVE(hr);
  return hr == S_OK;
}

HRESULT CKsAudioPin::AllocateCyclicBuffer(ULONG requestedBytes, ULONG notifications, uint8_t** base,
                                          ULONG* actualBytes, DWORD* error) {
  *base = nullptr;
  *actualBytes = 0;
  *error = 0;
  KsRtAudioBuffer answer;
  std::memset(&answer, 0, sizeof(answer));
  ULONG returned = 0;
  HRESULT hr;
  if (notifications == 0) {
    KsRtAudioBufferProperty request;
    std::memset(&request, 0, sizeof(request));
    request.Property.Set = KSPROPSETID_RtAudio;
    request.Property.Id = kKsRtAudioBuffer;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.RequestedBufferSize = requestedBytes;
    hr = SyncIoctlError(m_handle, IOCTL_KS_PROPERTY, &request, sizeof(request), &answer,
                        sizeof(answer), &returned, error);
  } else {
    KsRtAudioBufferPropertyWithNotification request;
    std::memset(&request, 0, sizeof(request));
    request.Property.Set = KSPROPSETID_RtAudio;
    request.Property.Id = kKsRtAudioBufferWithNotification;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.RequestedBufferSize = requestedBytes;
    request.NotificationCount = notifications;
    hr = SyncIoctlError(m_handle, IOCTL_KS_PROPERTY, &request, sizeof(request), &answer,
                        sizeof(answer), &returned, error);
  }
  if (SUCCEEDED(hr) && (returned < sizeof(answer) || !answer.BufferAddress || answer.ActualBufferSize == 0)) {
    // A success that names no buffer cannot be streamed through.
    KsTrace(1, "Real-time buffer reply without a buffer (%lu bytes)", static_cast<unsigned long>(returned));
    hr = E_FAIL;
  }
  if (FAILED(hr)) {
    KsTrace(1, "Failed to allocate a real-time buffer of %lu bytes", static_cast<unsigned long>(requestedBytes));
    KS_LEAVE(hr);
    return hr;
  }
  *base = static_cast<uint8_t*>(answer.BufferAddress);
  *actualBytes = answer.ActualBufferSize;
  KS_LEAVE(S_OK);
  return S_OK;
}

HRESULT CKsAudioPin::RegisterNotificationEvent(HANDLE event, bool reg) {
  KsRtAudioNotificationEventProperty request;
  std::memset(&request, 0, sizeof(request));
  request.Property.Set = KSPROPSETID_RtAudio;
  request.Property.Id = reg ? kKsRtAudioRegisterNotificationEvent : kKsRtAudioUnregisterNotificationEvent;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.NotificationEvent = event;
  ULONG returned = 0;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &request, sizeof(request), nullptr, 0, &returned);
  if (hr != S_OK) {
    KsTrace(1, reg ? "Failed to register the notification event" : "Failed to unregister the notification event");
    hr = E_FAIL;
  }
  KS_LEAVE(hr);
  return hr;
}

HRESULT CKsAudioPin::ReadPosition(OVERLAPPED* ov, KSPROPERTY* request, KSAUDIO_POSITION* reply,
                                  DWORD timeoutMs, ULONGLONG* offset) {
  request->Set = KSPROPSETID_Audio;
  request->Id = KSPROPERTY_AUDIO_POSITION;
  request->Flags = KSPROPERTY_TYPE_GET;
  KsSystem* sys = KsGetSystem();
  DWORD error = 0;
  DWORD ignored = 0;
  BOOL ok = sys->IoControl(m_handle, IOCTL_KS_PROPERTY, request, sizeof(*request), reply,
                           sizeof(*reply), &ignored, ov, &error);
  if (!ok && error == ERROR_IO_PENDING) {
    HANDLE event = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(ov->hEvent) & ~static_cast<ULONG_PTR>(1));
    if (WaitForSingleObject(event, timeoutMs) != WAIT_OBJECT_0) return E_FAIL;  // the request stays with the driver until the pin closes
    ok = TRUE;
  }
  if (!ok) return E_FAIL;
  DWORD got = 0;
  if (sys->OverlappedResult(m_handle, ov, &got) != 0 || got < sizeof(*reply)) return E_FAIL;
  *offset = reply->PlayOffset;
  return S_OK;
}
