// CKsPin: one pin of a filter, its descriptor, its state and its stream I/O.
#include "KernelStreaming/KsCore.h"
#include "KernelStreaming/KsTrace.h"

#include <cstring>

namespace {

// Reads one list property and keeps it only when its KSMULTIPLE_ITEM agrees with the
// bytes returned; a malformed reply is treated like an unreadable one.
bool ReadListProperty(CKsFilter* filter, ULONG pinId, ULONG id, ULONG itemSize,
                      uint8_t** reply, KsMultipleItemView* view) {
  void* data = nullptr;
  ULONG bytes = 0;
  HRESULT hr = filter->GetPinPropertyList(pinId, KSPROPSETID_Pin, id, &data, &bytes);
  if (FAILED(hr) || !data) {
    delete[] static_cast<uint8_t*>(data);
    return false;
  }
  if (!KsMultipleItemView::Check(data, bytes, itemSize, view)) {
    KsTrace(3, "Pin property %lu on PinID %lu: list reply does not match the %lu bytes returned",
            static_cast<unsigned long>(id), static_cast<unsigned long>(pinId),
            static_cast<unsigned long>(bytes));
    delete[] static_cast<uint8_t*>(data);
    return false;
  }
  *reply = static_cast<uint8_t*>(data);
  return true;
}

// A fixed-size property counts as read only when the driver wrote all of it.
bool ReadFixed(CKsFilter* filter, ULONG pinId, ULONG id, void* value, ULONG size) {
  uint8_t scratch[260];
  ULONG got = 0;
  if (size > sizeof(scratch)) return false;
  std::memset(scratch, 0, sizeof(scratch));
  HRESULT hr = filter->GetPinProperty(pinId, KSPROPSETID_Pin, id, scratch, size, &got);
  if (FAILED(hr) || got == 0 || got > size) return false;
  // Names may come back shorter than the buffer; the other values must be whole.
  if (id != KSPROPERTY_PIN_NAME && got != size) return false;
  std::memcpy(value, scratch, size);
  return true;
}

}  // namespace

CKsPin::CKsPin(CKsFilter* filter, ULONG pinId, HRESULT* hr) : m_pFilter(filter), m_nId(pinId) {
  KsObjectCounts::pins.fetch_add(1, std::memory_order_relaxed);
  bool anyFailed = false;
  const int id = static_cast<int>(pinId);

  if (!ReadFixed(filter, pinId, KSPROPERTY_PIN_COMMUNICATION, &m_Communication, sizeof(m_Communication))) {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION on PinID: %d", id);
    anyFailed = true;
  }
  if (!ReadListProperty(filter, pinId, KSPROPERTY_PIN_INTERFACES, sizeof(KSIDENTIFIER),
                        &m_pInterfacesReply, &m_interfaces)) {
    KsTrace(3, "Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: %d", id);
    anyFailed = true;
  }
  if (!ReadListProperty(filter, pinId, KSPROPERTY_PIN_MEDIUMS, sizeof(KSIDENTIFIER),
                        &m_pMediumsReply, &m_mediums)) {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_MEDIUMS on PinID: %d", id);
    anyFailed = true;
  }
  if (!ReadListProperty(filter, pinId, KSPROPERTY_PIN_DATARANGES, 0, &m_pDataRangesReply,
                        &m_dataRanges)) {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_DATARANGES on PinID: %d", id);
    anyFailed = true;
  }
  if (!ReadFixed(filter, pinId, KSPROPERTY_PIN_DATAFLOW, &m_DataFlow, sizeof(m_DataFlow))) {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW on PinID: %d", id);
    anyFailed = true;
  }
  if (!ReadFixed(filter, pinId, KSPROPERTY_PIN_CINSTANCES, &m_cInstances, sizeof(m_cInstances))) {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_CINSTANCES on PinID: %d", id);
    anyFailed = true;
  }
  if (!ReadFixed(filter, pinId, KSPROPERTY_PIN_GLOBALCINSTANCES, &m_cGlobalInstances,
                 sizeof(m_cGlobalInstances))) {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_GLOBALCINSTANCES on PinID: %d", id);
    anyFailed = true;
  }
  if (!ReadFixed(filter, pinId, KSPROPERTY_PIN_CATEGORY, &m_guidCategory, sizeof(m_guidCategory))) {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_CATEGORY on PinID: %d", id);
    anyFailed = true;
  }
  if (!ReadFixed(filter, pinId, KSPROPERTY_PIN_NAME, m_szName, 259)) {
    KsTrace(3, "Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: %d", id);
    anyFailed = true;
  }
  // A driver owes us no terminator.
  m_szName[sizeof(m_szName) / sizeof(m_szName[0]) - 1] = 0;
  *hr = anyFailed ? 1 : 0;
  KS_LEAVE(*hr);
}

CKsPin::~CKsPin() {
  Close();
  delete[] reinterpret_cast<uint8_t*>(m_pksPinCreate);
  delete[] m_pInterfacesReply;
  delete[] m_pMediumsReply;
  delete[] m_pDataRangesReply;
  KsObjectCounts::pins.fetch_sub(1, std::memory_order_relaxed);
}

const KSIDENTIFIER* CKsPin::Interfaces(ULONG* count) const {
  *count = m_interfaces.count;
  return reinterpret_cast<const KSIDENTIFIER*>(m_interfaces.items);
}
const KSIDENTIFIER* CKsPin::Mediums(ULONG* count) const {
  *count = m_mediums.count;
  return reinterpret_cast<const KSIDENTIFIER*>(m_mediums.items);
}
const uint8_t* CKsPin::DataRanges(ULONG* bytes, ULONG* count) const {
  *bytes = m_dataRanges.itemBytes;
  *count = m_dataRanges.count;
  return m_dataRanges.items;
}

HRESULT CKsPin::Instantiate(bool looped) {
  if (!m_pksPinCreate) {
    m_bLooped = looped;
    KS_LEAVE(S_OK);
    return S_OK;
  }
  m_pksPinCreate->Interface.Id =
      looped ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;
  m_bLooped = looped;
  KsSystem* sys = KsGetSystem();
  HRESULT hr = S_OK;
  if (!sys->KsCreatePinAvailable()) {
    hr = kKsMissingLibrary;
  } else {
    HANDLE pin = INVALID_HANDLE_VALUE;
    DWORD result = sys->CreatePin(m_pFilter->GetHandle(), m_pksPinCreate,
                                  GENERIC_READ | GENERIC_WRITE, &pin);
    if (result == 0 && IsValidHandle(pin)) {
      m_handle = pin;
    } else {
      hr = KsHresultFromWin32(result == 0 ? ERROR_INVALID_HANDLE : result);
    }
  }
  if (FAILED(hr)) KsTrace(1, "Failed to instantiate pin. hr=0x%08lx", static_cast<unsigned long>(hr));
  KS_LEAVE(hr);
  return hr;
}

HRESULT CKsPin::SetPinState(KSSTATE state) {
  ULONG value = static_cast<ULONG>(state);
  HRESULT hr = SetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &value, sizeof(value));
  if (FAILED(hr)) {
    KsTrace(1, "Failed to Set Pin State");
  } else {
    m_State = state;
  }
  KS_LEAVE(hr);
  return hr;
}

void CKsPin::Close() {
  if (IsValidHandle(m_handle)) {
    SetPinState(KSSTATE_STOP);
    CloseTargetHandle();
  }
}

HRESULT CKsPin::WriteData(KSSTREAM_HEADER* header, OVERLAPPED* ov) {
  DWORD error = 0;
  DWORD returned = 0;
  BOOL ok = KsGetSystem()->IoControl(m_handle, IOCTL_KS_WRITE_STREAM, nullptr, 0, header,
                                     header->Size, &returned, ov, &error);
  if (!ok && error != ERROR_IO_PENDING) {
    KsTrace(1, "CKsPin::WriteData's DeviceIoControl Failed!  Error=0x%#08lx",
            static_cast<unsigned long>(error));
    KS_LEAVE(E_FAIL);
    return E_FAIL;
  }
  KS_LEAVE(S_OK);
  return S_OK;
}

HRESULT CKsPin::ReadData(KSSTREAM_HEADER* header, OVERLAPPED* ov) {
  DWORD error = 0;
  DWORD returned = 0;
  BOOL ok = KsGetSystem()->IoControl(m_handle, IOCTL_KS_READ_STREAM, nullptr, 0, header,
                                     header->Size, &returned, ov, &error);
  if (!ok && error != ERROR_IO_PENDING) {
    KsTrace(1, "DeviceIoControl Failed!  Error=0x%08lx", static_cast<unsigned long>(error));
    KS_LEAVE(E_FAIL);
    return E_FAIL;
  }
  KS_LEAVE(S_OK);
  return S_OK;
}
