// Finds the kernel-streaming filters registered under a device-interface category (and
// enabled under every further alias category), names them (renaming generic USB devices
// from their USB registry entry), builds, opens and reads each, and keeps the survivors in
// the order the system reported them.
//
// Threads: the thread that opens or lists devices; no lock. The list must not change
// while a stream thread uses a pin taken from one of its filters.
#pragma once

#include "KernelStreaming/KsCore.h"

enum KsFilterType : int32_t {
  kKsFilterGeneric = 0,
  kKsFilterRender = 1,
  kKsFilterCapture = 2,
};

class CKsFilterEnumerator {
 public:
  explicit CKsFilterEnumerator(HRESULT* hr);
  virtual ~CKsFilterEnumerator();
  CKsFilterEnumerator(const CKsFilterEnumerator&) = delete;
  CKsFilterEnumerator& operator=(const CKsFilterEnumerator&) = delete;

  // Rebuilds the list. categories[0] is enumerated, the others are alias categories the
  // interface must also be enabled in. An empty result is E_FAIL.
  HRESULT EnumerateFilters(int32_t filterType, const GUID* categories, ULONG categoryCount,
                           bool needPins, bool needNodes, bool instantiate);
  virtual HRESULT ClearFilters();

  const KsList<CKsFilter>& Filters() const { return m_listFilters; }

 private:
  void RenameUsbDevice(const char* devicePath, char* friendlyName, size_t friendlyNameSize);

  KsList<CKsFilter> m_listFilters;
};
