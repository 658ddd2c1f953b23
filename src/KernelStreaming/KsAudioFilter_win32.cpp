// CKsAudioFilter and its render and capture kinds.
#include "KernelStreaming/KsAudio.h"
#include "KernelStreaming/KsTrace.h"

#include <new>

CKsAudioFilter::CKsAudioFilter(const char* pszName, HRESULT* hr, const char* friendlyName)
    : CKsFilter(pszName, hr, friendlyName) {}

CKsRenderFilter::CKsRenderFilter(const char* pszName, HRESULT* hr, const char* friendlyName)
    : CKsAudioFilter(pszName, hr, friendlyName) {
  m_nFilterKind = 1;
}

CKsCaptureFilter::CKsCaptureFilter(const char* pszName, HRESULT* hr, const char* friendlyName)
    : CKsAudioFilter(pszName, hr, friendlyName) {
  m_nFilterKind = 2;
}

HRESULT CKsAudioFilter::DiscoverPins() {
  ULONG count = 0;
  if (FAILED(GetPinCount(&count))) {
    KsTrace(1, "Failed to retrieve count of pins in audio filter");
    count = 0;
  }
  for (ULONG id = 0; id < count; ++id) {
    ULONG comm = 0;
    ULONG got = 0;
    if (FAILED(GetPinProperty(id, KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, &comm,
                              sizeof(comm), &got)) ||
        got != sizeof(comm)) {
      KsTrace(1, "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION");
      continue;
    }
    if (comm != KSPIN_COMMUNICATION_SINK && comm != KSPIN_COMMUNICATION_SOURCE &&
        comm != KSPIN_COMMUNICATION_BOTH) {
      KsTrace(1, "Pin communication value doesn't make sense");
      continue;
    }
    ULONG flow = 0;
    if (FAILED(GetPinProperty(id, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof(flow), &got)) ||
        got != sizeof(flow)) {
      KsTrace(1, "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW");
      continue;
    }
    HRESULT hrPin = S_OK;
    CKsAudioPin* pin = nullptr;
    if (comm == KSPIN_COMMUNICATION_SINK && flow == KSPIN_DATAFLOW_IN)
      pin = new (std::nothrow) CKsRenderPin(this, id, &hrPin);
    else if (comm == KSPIN_COMMUNICATION_SINK && flow == KSPIN_DATAFLOW_OUT)
      pin = new (std::nothrow) CKsCapturePin(this, id, &hrPin);
    else
      pin = new (std::nothrow) CKsAudioPin(this, id, &hrPin);
    bool outOfMemory = false;
    if (!pin) {
      KsTrace(1, "Failed to create audio pin");
      outOfMemory = true;
    } else if (FAILED(hrPin)) {
      delete pin;
      continue;
    } else if (!m_listPins.AddTail(pin)) {
      delete pin;
      KsTrace(1, "Unable to allocate list entry to save pin in");
      outOfMemory = true;
    }
    if (outOfMemory) {
      KsTrace(1, "Ran out of memory enumerating pins - deleting all pins");
      ClearClassLists();
      for (CKsPin* p : m_listPins) delete p;
      m_listPins.Clear();
      KS_LEAVE(E_OUTOFMEMORY);
      return E_OUTOFMEMORY;
    }
  }
  HRESULT hr = SortPins();
  if (FAILED(hr)) {
    KS_LEAVE(hr);
    return hr;
  }
  if (m_listRenderSinkPins.Empty() && m_listCaptureSourcePins.Empty() &&
      m_listCaptureSinkPins.Empty() && m_listRenderSourcePins.Empty()) {
    KsTrace(1, "No valid pins found on the filter");
    KS_LEAVE(E_FAIL);
    return E_FAIL;
  }
  KS_LEAVE(S_OK);
  return S_OK;
}

CKsAudioPin* CKsAudioFilter::FindPinForFormat(const KsList<CKsPin>& list, const WAVEFORMATEX* pwfx) {
  for (CKsPin* pin : list) {
    // Every pin of an audio filter is an audio pin.
    CKsAudioPin* audio = static_cast<CKsAudioPin*>(pin);
    if (audio->SupportsFormat(pwfx)) return audio;
  }
  return nullptr;
}

CKsAudioPin* CKsAudioFilter::FindPinForFormat(const KsList<CKsPin>& list, const WAVEFORMATEX* pwfx,
                                               bool looped) {
  for (CKsPin* pin : list) {
    CKsAudioPin* audio = static_cast<CKsAudioPin*>(pin);
    if (audio->OffersInterface(looped) && audio->SupportsFormat(pwfx)) return audio;
  }
  return nullptr;
}

void CKsAudioFilter::OfferedInterfaces(const KsList<CKsPin>& list, bool* standard, bool* looped) {
  *standard = false;
  *looped = false;
  for (CKsPin* pin : list) {
    const CKsAudioPin* audio = static_cast<const CKsAudioPin*>(pin);
    *standard = *standard || audio->OffersStandardStreaming();
    *looped = *looped || audio->OffersLoopedStreaming();
  }
}

CKsAudioPin* CKsRenderFilter::OpenRenderPin(const WAVEFORMATEX* pwfx, bool looped) {
  CKsAudioPin* taken = nullptr;
  CKsAudioPin* candidate = FindPinForFormat(m_listRenderSinkPins, pwfx, looped);
  if (candidate && SUCCEEDED(candidate->ApplyFormat(pwfx)) &&
      SUCCEEDED(candidate->Instantiate(looped))) {
    KsTrace(5, "Successfully instantiated Render Pin.  Handle = 0x%08lx",
            static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(candidate->GetHandle())));
    taken = candidate;
  }
  if (!taken) {
    // A pin may accept a format its data ranges do not announce; try each one.
    for (CKsPin* pin : m_listRenderSinkPins) {
      CKsAudioPin* audio = static_cast<CKsAudioPin*>(pin);
      if (!audio->OffersInterface(looped)) continue;
      if (SUCCEEDED(audio->ApplyFormat(pwfx)) && SUCCEEDED(audio->Instantiate(looped))) {
        taken = audio;
        break;
      }
    }
  }
  if (!taken) return nullptr;
  // From here the caller owns the pin; it may sit in other class lists (communication
  // BOTH), and none of them may keep referring to it.
  m_listPins.Remove(taken);
  m_listRenderSinkPins.Remove(taken);
  m_listRenderSourcePins.Remove(taken);
  m_listCaptureSinkPins.Remove(taken);
  m_listCaptureSourcePins.Remove(taken);
  m_listBridgePins.Remove(taken);
  // Render sink pins are CKsRenderPin (SINK + IN) or, for communication BOTH, plain
  // audio pins; the caller needs only the audio pin.
  return taken;
}

CKsAudioPin* CKsCaptureFilter::OpenCapturePin(const WAVEFORMATEX* pwfx, bool looped) {
  CKsAudioPin* pin = FindPinForFormat(m_listCaptureSinkPins, pwfx, looped);
  if (!pin) {
    KsTrace(1, "Could not find a Capture pin that supports the given wave format");
    return nullptr;
  }
  if (FAILED(pin->ApplyFormat(pwfx))) {
    KsTrace(1, "Failed to set Capture Pin format");
    return nullptr;
  }
  if (FAILED(pin->Instantiate(looped))) {
    KsTrace(1, "Failed to instantiate Capture Pin");
    return nullptr;
  }
  KsTrace(5, "Successfully instantiated Capture Pin.  Handle = 0x%08lx",
          static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(pin->GetHandle())));
  return pin;
}
