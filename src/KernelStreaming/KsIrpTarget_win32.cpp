// CKsIrpTarget: one device handle and synchronous I/O control on it.
#include "KernelStreaming/KsCore.h"
#include "KernelStreaming/KsReplyCheck.h"
#include "KernelStreaming/KsTrace.h"

#include <cstring>
#include <new>

std::atomic<int32_t> KsObjectCounts::filters{0};
std::atomic<int32_t> KsObjectCounts::pins{0};
std::atomic<int32_t> KsObjectCounts::nodes{0};

bool KsMultipleItemView::Check(const void* reply, ULONG returnedBytes, ULONG itemSize,
                               KsMultipleItemView* view) {
  static_assert(sizeof(KSMULTIPLE_ITEM) == kKsMultipleItemHeaderBytes, "published layout");
  KsItemsView checked;
  const bool ok = KsCheckMultipleItem(reply, returnedBytes, itemSize, &checked);
  view->items = checked.items;
  view->count = checked.count;
  view->itemBytes = checked.itemBytes;
  return ok;
}

void KsCopyText(char* dst, size_t dstSize, const char* src) {
  if (dstSize == 0) return;
  size_t i = 0;
  if (src)
    for (; i + 1 < dstSize && src[i]; ++i) dst[i] = src[i];
  dst[i] = 0;
}

void CKsIrpTarget::CloseTargetHandle() {
  if (IsValidHandle(m_handle)) KsGetSystem()->CloseDevice(m_handle);
  m_handle = INVALID_HANDLE_VALUE;
}

HRESULT CKsIrpTarget::SyncIoctl(HANDLE handle, ULONG code, void* in, ULONG inSize, void* out,
                                ULONG outSize, ULONG* returned) {
  DWORD error = 0;
  return SyncIoctlError(handle, code, in, inSize, out, outSize, returned, &error);
}

HRESULT CKsIrpTarget::SyncIoctlError(HANDLE handle, ULONG code, void* in, ULONG inSize, void* out,
                                     ULONG outSize, ULONG* returned, DWORD* lastError) {
  ULONG bytes = 0;
  HRESULT hr = S_OK;
  *lastError = 0;
  if (!IsValidHandle(handle)) {
    KsTrace(1, "CKsIrpTarget::SyncIoctl Invalid Handle");
    if (returned) *returned = 0;
    *lastError = ERROR_INVALID_HANDLE;
    KS_LEAVE(E_FAIL);
    return E_FAIL;
  }
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!event) {
    KsTrace(1, "CKsIrpTarget::SyncIoctl CreateEvent failed");
    if (returned) *returned = 0;
    *lastError = ERROR_NOT_ENOUGH_MEMORY;
    KS_LEAVE(E_OUTOFMEMORY);
    return E_OUTOFMEMORY;
  }
  OVERLAPPED ov;
  std::memset(&ov, 0, sizeof(ov));
  // The lowest bit keeps the completion off any I/O completion port of the handle.
  ov.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);

  KsSystem* sys = KsGetSystem();
  DWORD error = 0;
  DWORD ignored = 0;
  // On a handle opened for overlapped I/O the byte count DeviceIoControl writes back is
  // undefined; what the driver reported sits in the OVERLAPPED record once the request
  // has completed, so every count below is read from there.
  DWORD got = 0;
  BOOL ok = sys->IoControl(handle, code, in, inSize, out, outSize, &ignored, &ov, &error);
  if (!ok && error == ERROR_IO_PENDING) {
    DWORD wait = WaitForSingleObject(event, INFINITE);
    if (wait != WAIT_OBJECT_0) {
      KsTrace(1, "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08lx",
              static_cast<unsigned long>(wait));
      CloseHandle(event);
      if (returned) *returned = 0;
      *lastError = ERROR_GEN_FAILURE;
      KS_LEAVE(E_FAIL);
      return E_FAIL;
    }
    // A request that went pending can still fail or report a size; its outcome sits in
    // the OVERLAPPED record. Taking the wait alone as success would report a failed
    // property read as a good one with whatever the buffer held.
    error = sys->OverlappedResult(handle, &ov, &got);
  } else if (ok || error == ERROR_MORE_DATA) {
    // Finished at once with success or the buffer-overflow warning: the I/O manager has
    // filled the record. (A request failed with an error status leaves it untouched.)
    error = sys->OverlappedResult(handle, &ov, &got);
    if (ok && error != 0) error = 0;  // success as reported; only the count comes from ov
  }
  *lastError = error;
  const bool sizeQuery = code == IOCTL_KS_PROPERTY && outSize == 0;
  if (error == 0) {
    bytes = got;
  } else if (sizeQuery && error == ERROR_MORE_DATA) {
    bytes = got;  // the size the driver needs
  } else if (sizeQuery && error == ERROR_INSUFFICIENT_BUFFER) {
    // An error status carries no byte count to the caller on Windows: the driver wants a
    // buffer but did not say how large. S_FALSE tells the caller to find out by trying.
    hr = S_FALSE;
    bytes = 0;
  } else {
    hr = E_FAIL;
    bytes = 0;
  }
  CloseHandle(event);
  if (returned) *returned = bytes;
  KS_LEAVE(hr);
  return hr;
}

HRESULT CKsIrpTarget::GetPropertyList(const GUID& set, ULONG id, void** buffer,
                                      ULONG* returnedBytes) {
  KSPROPERTY prop;
  std::memset(&prop, 0, sizeof(prop));
  prop.Set = set;
  prop.Id = id;
  prop.Flags = KSPROPERTY_TYPE_GET;
  return ReadVariableProperty(&prop, sizeof(prop), buffer, returnedBytes);
}

HRESULT CKsIrpTarget::ReadVariableProperty(void* request, ULONG requestSize, void** buffer,
                                           ULONG* returnedBytes) {
  *buffer = nullptr;
  if (returnedBytes) *returnedBytes = 0;
  ULONG size = 0;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, request, requestSize, nullptr, 0, &size);
  if (hr == S_FALSE) {
    hr = ProbeVariableProperty(request, requestSize, buffer, returnedBytes);
    KS_LEAVE(hr);
    return hr;
  }
  if (FAILED(hr) || size == 0) {
    KS_LEAVE(hr);
    return hr;
  }
  if (size > kKsMaxPropertyBytes) {
    KS_LEAVE(E_FAIL);
    return E_FAIL;
  }
  uint8_t* data = new (std::nothrow) uint8_t[size];
  if (!data) {
    KS_LEAVE(E_OUTOFMEMORY);
    return E_OUTOFMEMORY;
  }
  std::memset(data, 0, size);
  ULONG got = 0;
  hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, request, requestSize, data, size, &got);
  if (FAILED(hr)) {
    delete[] data;
    KS_LEAVE(hr);
    return hr;
  }
  *buffer = data;
  // Never trust a byte count beyond the buffer we gave.
  if (returnedBytes) *returnedBytes = got > size ? size : got;
  KS_LEAVE(hr);
  return hr;
}

HRESULT CKsIrpTarget::ProbeVariableProperty(void* request, ULONG requestSize, void** buffer,
                                            ULONG* returnedBytes) {
  // The driver refused the size query without naming a size: offer growing buffers, up
  // to the reply limit, until one is large enough.
  for (ULONG size = kKsFirstProbeBytes;; size = size * 4 > kKsMaxPropertyBytes ? kKsMaxPropertyBytes : size * 4) {
    uint8_t* data = new (std::nothrow) uint8_t[size];
    if (!data) return E_OUTOFMEMORY;
    std::memset(data, 0, size);
    ULONG got = 0;
    DWORD error = 0;
    HRESULT hr = SyncIoctlError(m_handle, IOCTL_KS_PROPERTY, request, requestSize, data, size, &got, &error);
    if (SUCCEEDED(hr)) {
      *buffer = data;
      if (returnedBytes) *returnedBytes = got > size ? size : got;
      return S_OK;
    }
    delete[] data;
    if ((error != ERROR_INSUFFICIENT_BUFFER && error != ERROR_MORE_DATA) || size >= kKsMaxPropertyBytes)
      return hr;
  }
}

HRESULT CKsIrpTarget::SetProperty(const GUID& set, ULONG id, void* value, ULONG valueSize,
                                  const void* extra, ULONG extraSize) {
  ULONG requestSize = static_cast<ULONG>(sizeof(KSPROPERTY)) + extraSize;
  uint8_t* request = new (std::nothrow) uint8_t[requestSize];
  if (!request) {
    KS_LEAVE(E_OUTOFMEMORY);
    return E_OUTOFMEMORY;
  }
  KSPROPERTY prop;
  std::memset(&prop, 0, sizeof(prop));
  prop.Set = set;
  prop.Id = id;
  prop.Flags = KSPROPERTY_TYPE_SET;
  std::memcpy(request, &prop, sizeof(prop));
  if (extra && extraSize) std::memcpy(request + sizeof(prop), extra, extraSize);
  ULONG got = 0;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, request, requestSize, value, valueSize, &got);
  delete[] request;
  KS_LEAVE(hr);
  return hr;
}
