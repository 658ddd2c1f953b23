// CKsFilter: the filter a device path opens, its pins sorted by communication and data
// flow, and its topology nodes.
#include "KernelStreaming/KsCore.h"
#include "KernelStreaming/KsTrace.h"

#include <cstring>
#include <new>

CKsFilter::CKsFilter(const char* pszName, HRESULT* hr, const char* friendlyName) {
  KsObjectCounts::filters.fetch_add(1, std::memory_order_relaxed);
  KsCopyText(m_szFriendlyName, sizeof(m_szFriendlyName), friendlyName);
  if (!pszName) {
    KsTrace(1, "pszName cannot be NULL");
    *hr = E_INVALIDARG;
  } else {
    KsCopyText(m_szFilterName, sizeof(m_szFilterName), pszName);
    *hr = S_OK;
  }
  KS_LEAVE(*hr);
}

CKsFilter::~CKsFilter() {
  ClearLists();
  CloseTargetHandle();
  KsObjectCounts::filters.fetch_sub(1, std::memory_order_relaxed);
}

HRESULT CKsFilter::Instantiate() {
  DWORD error = 0;
  m_handle = KsGetSystem()->OpenDevice(m_szFilterName, &error);
  if (!IsValidHandle(m_handle)) {
    m_handle = INVALID_HANDLE_VALUE;
    KsTrace(1, "CKsFilter::Instantiate: CreateFile failed for device %s.  ErrorCode = 0x%08lx",
            m_szFilterName, static_cast<unsigned long>(error));
    KS_LEAVE(E_FAIL);
    return E_FAIL;
  }
  KS_LEAVE(S_OK);
  return S_OK;
}

HRESULT CKsFilter::GetPinProperty(ULONG pinId, const GUID& set, ULONG id, void* buffer,
                                  ULONG size, ULONG* returned) {
  KSP_PIN request;
  std::memset(&request, 0, sizeof(request));
  request.Property.Set = set;
  request.Property.Id = id;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.PinId = pinId;
  request.Reserved = 0;
  ULONG got = 0;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &request, sizeof(request), buffer, size, &got);
  if (returned) *returned = got;
  KS_LEAVE(hr);
  return hr;
}

HRESULT CKsFilter::GetPinPropertyList(ULONG pinId, const GUID& set, ULONG id, void** buffer,
                                      ULONG* returnedBytes) {
  KSP_PIN request;
  std::memset(&request, 0, sizeof(request));
  request.Property.Set = set;
  request.Property.Id = id;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.PinId = pinId;
  return ReadVariableProperty(&request, sizeof(request), buffer, returnedBytes);
}

HRESULT CKsFilter::GetPinCount(ULONG* count) {
  *count = 0;
  KSPROPERTY request;
  std::memset(&request, 0, sizeof(request));
  request.Set = KSPROPSETID_Pin;
  request.Id = KSPROPERTY_PIN_CTYPES;
  request.Flags = KSPROPERTY_TYPE_GET;
  ULONG value = 0;
  ULONG got = 0;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &request, sizeof(request), &value,
                         sizeof(value), &got);
  if (SUCCEEDED(hr) && got < sizeof(value)) hr = E_FAIL;  // nothing (or half) answered
  if (SUCCEEDED(hr) && value > kKsMaxPins) {
    KsTrace(1, "Pin count %lu is beyond any audio filter; filter refused",
            static_cast<unsigned long>(value));
    hr = E_FAIL;
  }
  if (SUCCEEDED(hr)) *count = value;
  KS_LEAVE(hr);
  return hr;
}

void CKsFilter::ClearClassLists() {
  m_listRenderSinkPins.Clear();
  m_listCaptureSourcePins.Clear();
  m_listCaptureSinkPins.Clear();
  m_listRenderSourcePins.Clear();
  m_listBridgePins.Clear();
}

bool CKsFilter::ClassListsEmpty() const {
  return m_listRenderSinkPins.Empty() && m_listCaptureSourcePins.Empty() &&
         m_listCaptureSinkPins.Empty() && m_listRenderSourcePins.Empty() &&
         m_listBridgePins.Empty();
}

HRESULT CKsFilter::DiscoverPins() {
  HRESULT hr = S_OK;
  ULONG count = 0;
  HRESULT hrCount = GetPinCount(&count);
  if (FAILED(hrCount)) hr = hrCount;
  for (ULONG id = 0; SUCCEEDED(hrCount) && id < count; ++id) {
    HRESULT hrPin = S_OK;
    CKsPin* pin = new (std::nothrow) CKsPin(this, id, &hrPin);
    if (!pin) {
      KsTrace(1, "Failed to create pin");
      hr = E_OUTOFMEMORY;
      continue;
    }
    if (FAILED(hrPin)) {
      KsTrace(1, "Failed to construct pin");
      delete pin;
      continue;
    }
    if (!m_listPins.AddTail(pin)) {
      KsTrace(1, "Failed to add pin to list");
      delete pin;
    }
  }
  HRESULT hrSort = SortPins();
  if (FAILED(hrSort)) hr = hrSort;
  if (ClassListsEmpty()) {
    KsTrace(1, "Filter is not viable. It has no pins.");
    hr = E_FAIL;
  }
  KS_LEAVE(hr);
  return hr;
}

HRESULT CKsFilter::SortPins() {
  ClearClassLists();
  for (CKsPin* pin : m_listPins) {
    KSPIN_COMMUNICATION comm;
    KSPIN_DATAFLOW flow;
    pin->GetCommunication(&comm);
    pin->GetDataFlow(&flow);
    bool in = flow == KSPIN_DATAFLOW_IN;
    bool ok = true;
    switch (static_cast<ULONG>(comm)) {
      case KSPIN_COMMUNICATION_NONE:
        ok = m_listBridgePins.AddTail(pin);
        break;
      case KSPIN_COMMUNICATION_SINK:
        ok = (in ? m_listRenderSinkPins : m_listCaptureSinkPins).AddTail(pin);
        break;
      case KSPIN_COMMUNICATION_SOURCE:
        ok = (in ? m_listRenderSourcePins : m_listCaptureSourcePins).AddTail(pin);
        break;
      case KSPIN_COMMUNICATION_BOTH:
        ok = (in ? m_listRenderSinkPins : m_listCaptureSinkPins).AddTail(pin) &&
             (in ? m_listRenderSourcePins : m_listCaptureSourcePins).AddTail(pin);
        break;
      default:
        KsTrace(5, "Pin communication type not recognized");
        break;
    }
    if (!ok) {
      KS_LEAVE(E_OUTOFMEMORY);
      return E_OUTOFMEMORY;
    }
  }
  KS_LEAVE(S_OK);
  return S_OK;
}

HRESULT CKsFilter::DiscoverNodes() {
  for (CKsTopologyNode* node : m_listNodes) delete node;
  m_listNodes.Clear();
  void* reply = nullptr;
  ULONG bytes = 0;
  HRESULT hr = GetPropertyList(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &reply, &bytes);
  if (FAILED(hr)) {
    KsTrace(4, "Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES");
    KS_LEAVE(hr);
    return hr;
  }
  KsMultipleItemView view;
  if (!KsMultipleItemView::Check(reply, bytes, sizeof(GUID), &view)) {
    // An empty answer (no nodes) is a valid reply; anything else that fails the check is
    // a malformed one.
    hr = reply ? E_FAIL : S_OK;
  } else {
    for (ULONG i = 0; i < view.count; ++i) {
      GUID type;
      std::memcpy(&type, view.items + i * sizeof(GUID), sizeof(GUID));
      CKsTopologyNode* node = new (std::nothrow) CKsTopologyNode(i, type);
      if (!node) break;
      if (!m_listNodes.AddTail(node)) {
        delete node;
        break;
      }
    }
    if (static_cast<ULONG>(m_listNodes.Count()) != view.count) hr = E_FAIL;
  }
  if (FAILED(hr)) {
    for (CKsTopologyNode* node : m_listNodes) delete node;
    m_listNodes.Clear();
  }
  delete[] static_cast<uint8_t*>(reply);
  KS_LEAVE(hr);
  return hr;
}

HRESULT CKsFilter::ClearLists() {
  for (CKsTopologyNode* node : m_listNodes) delete node;
  m_listNodes.Clear();
  ClearClassLists();
  // Pins of communication BOTH sit in two class lists but once here: destroyed once.
  for (CKsPin* pin : m_listPins) delete pin;
  m_listPins.Clear();
  return S_OK;
}
