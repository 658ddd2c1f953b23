// The audio half of the kernel-streaming layer: audio pins that carry the connection
// block handed to KsCreatePin, keep the pin's audio data ranges, test wave formats against
// them and write a wave format into the block; audio filters whose pins are audio pins,
// and the render and capture filters that choose, format and create one pin.
//
// Threads: the thread that opens devices. Nothing here runs on a stream thread.
#pragma once

#include "KernelStreaming/KsCore.h"
#include "KernelStreaming/KsRtAudio.h"

// Bytes of a wave format: 18 for WAVE_FORMAT_PCM, 18 + cbSize otherwise.
ULONG KsWaveFormatSize(const WAVEFORMATEX* wfx);
// {XXXXXXXX-0000-0010-8000-00AA00389B71}, whatever Data1 holds.
bool KsIsWaveFormatGuid(const GUID& guid);
// SubFormat of an extensible format, else the wave-format GUID of wFormatTag.
GUID KsWaveFormatSubtype(const WAVEFORMATEX* wfx);

class CKsAudioPin : public CKsPin {
 public:
  // KSPIN_CONNECT + KSDATAFORMAT + an 18-byte WAVEFORMATEX: 146 bytes in a 32-bit
  // process, 154 in a 64-bit one (KSPIN_CONNECT carries a handle).
  static constexpr ULONG kInitialBlockBytes = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + 18;
  // The same block around a 40-byte WAVEFORMATEXTENSIBLE: 168 or 176 bytes.
  static constexpr ULONG kExtensibleBlockBytes =
      sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);

  CKsAudioPin(CKsFilter* filter, ULONG pinId, HRESULT* hr);
  ~CKsAudioPin() override;

  bool SupportsFormat(const WAVEFORMATEX* pwfx) const;
  HRESULT ApplyFormat(const WAVEFORMATEX* pwfx);

  // The streaming interfaces the pin lists: standard (queued stream requests) and looped
  // (one cyclic buffer shared with the hardware, the real-time model).
  bool OffersStandardStreaming() const { return m_bStandardStreaming; }
  bool OffersLoopedStreaming() const { return m_bLoopedStreaming; }
  bool OffersInterface(bool looped) const { return looped ? m_bLoopedStreaming : m_bStandardStreaming; }

  // ---- Real-time (looped) pins, once instantiated with looped true --------------------
  // Whether the pin answers the real-time property set (a set-support query).
  bool SupportsRealTime();
  // Asks for the cyclic buffer: `notifications` 0 without notification events, else that
  // many per pass through the buffer. *base and *actualBytes are the driver's answer
  // (the size may differ from the request); *error the Win32 error of a refusal.
  HRESULT AllocateCyclicBuffer(ULONG requestedBytes, ULONG notifications, uint8_t** base,
                               ULONG* actualBytes, DWORD* error);
  // Registers (or unregisters) an event the driver sets at each notification.
  HRESULT RegisterNotificationEvent(HANDLE event, bool reg);
  // Stream thread: the hardware's byte offset in the cyclic buffer (KSPROPERTY_AUDIO_POSITION,
  // PlayOffset) on the caller's OVERLAPPED, request and reply records, waited for at most
  // timeoutMs. A request still pending at the timeout fails; the driver may fill the
  // caller's records until the pin is closed, so they must live that long. No allocation.
  HRESULT ReadPosition(OVERLAPPED* ov, KSPROPERTY* request, KSAUDIO_POSITION* reply, DWORD timeoutMs,
                       ULONGLONG* offset);

  KSDATAFORMAT* GetDataFormat() const { return m_pksDataFormatWfx; }
  const WAVEFORMATEX* GetAppliedFormat() const { return m_pWaveFormat; }
  const KsList<KSDATARANGE_AUDIO>& AudioDataRanges() const { return m_listDataRange; }

 protected:
  KSDATAFORMAT* m_pksDataFormatWfx = nullptr;  // inside m_pksPinCreate
  KsList<KSDATARANGE_AUDIO> m_listDataRange;   // owned copies
  WAVEFORMATEX* m_pWaveFormat = nullptr;       // owned copy (uint8_t[]) of the last format
  bool m_bStandardStreaming = false;
  bool m_bLoopedStreaming = false;

 private:
  HRESULT InitPinConnect();
  HRESULT ReadAudioDataRanges();
};

// The driver reads these records with its own 64-bit layout; a header that disagreed would
// make every pin creation and stream request fail on real hardware.
#ifdef _WIN64
static_assert(sizeof(KSPIN_CONNECT) == 72, "x64 KSPIN_CONNECT");
static_assert(CKsAudioPin::kInitialBlockBytes == 154, "x64 connection block (PCM)");
static_assert(CKsAudioPin::kExtensibleBlockBytes == 176, "x64 connection block (extensible)");
#else
static_assert(CKsAudioPin::kInitialBlockBytes == 146, "x86 connection block (PCM)");
static_assert(CKsAudioPin::kExtensibleBlockBytes == 168, "x86 connection block (extensible)");
#endif
static_assert(sizeof(KSDATAFORMAT) == 64 && sizeof(WAVEFORMATEXTENSIBLE) == 40, "wave layouts");

class CKsRenderPin : public CKsAudioPin {
 public:
  CKsRenderPin(CKsFilter* filter, ULONG pinId, HRESULT* hr);
};

class CKsCapturePin : public CKsAudioPin {
 public:
  CKsCapturePin(CKsFilter* filter, ULONG pinId, HRESULT* hr);
};

class CKsAudioFilter : public CKsFilter {
 public:
  CKsAudioFilter(const char* pszName, HRESULT* hr, const char* friendlyName);
  HRESULT DiscoverPins() override;

  // First pin of `list`, in order, whose SupportsFormat holds; null if none. With
  // `looped` given, only pins offering that streaming interface are considered.
  static CKsAudioPin* FindPinForFormat(const KsList<CKsPin>& list, const WAVEFORMATEX* pwfx);
  static CKsAudioPin* FindPinForFormat(const KsList<CKsPin>& list, const WAVEFORMATEX* pwfx, bool looped);
  // Whether any pin of `list` offers standard or looped streaming.
  static void OfferedInterfaces(const KsList<CKsPin>& list, bool* standard, bool* looped);
};

class CKsRenderFilter : public CKsAudioFilter {
 public:
  CKsRenderFilter(const char* pszName, HRESULT* hr, const char* friendlyName);
  // The instantiated pin, now owned by the caller (removed from the filter's lists), or
  // null. Only pins offering the interface `looped` asks for are tried.
  CKsAudioPin* OpenRenderPin(const WAVEFORMATEX* pwfx, bool looped);
};

class CKsCaptureFilter : public CKsAudioFilter {
 public:
  CKsCaptureFilter(const char* pszName, HRESULT* hr, const char* friendlyName);
  // The instantiated pin, still owned by the filter, or null.
  CKsAudioPin* OpenCapturePin(const WAVEFORMATEX* pwfx, bool looped);
};
