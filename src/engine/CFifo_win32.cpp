// Named shared mode of CFifo: a paging-file section holding the header and the ring, a
// named mutex serialising the processes, and two auto-reset events announcing puts (data
// arrived) and gets (room freed).
#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>

#include "engine/CFifo.h"
#include "engine/LogPrintf.h"

namespace {

HANDLE CreateNamedObjects(const char* kind, uint32_t key, int32_t id, bool mutex) {
  char name[96];
  CFifo::FormatSharedName(name, sizeof(name), kind, key, id);
  return mutex ? CreateMutexA(nullptr, FALSE, name) : CreateEventA(nullptr, FALSE, FALSE, name);
}

void LogSystemError(DWORD code, int32_t size) {
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                 sizeof(text) - 1, nullptr);
  LogPrintf("File Mapping Error %i   %s   (size: %i)\n", static_cast<int>(code), text, size);
}

}  // namespace

bool CFifo::CreateShared(int32_t size, int32_t mode) {
  char name[96];
  if (mode == kFifoSharedOpener) {
    key_ = static_cast<uint32_t>(size);
    FormatSharedName(name, sizeof(name), "Mapping", key_, id_);
    HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, TRUE, name);
    if (mapping == nullptr) {
      LogPrintf("Could not open file-mapping object.\n");
    } else {
      mapping_ = mapping;
      void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
      if (view) {
        // The creator's capacity is only believed when the mapping really holds it.
        MEMORY_BASIC_INFORMATION info = {};
        SIZE_T viewBytes = VirtualQuery(view, &info, sizeof(info)) ? info.RegionSize : 0;
        int32_t capacity = std::atomic_ref<int32_t>(static_cast<FifoHeader*>(view)->capacity).load();
        if (capacity >= 1 && static_cast<uint64_t>(capacity) + kFifoStorageOverhead - 1 <= viewBytes) {
          header_ = static_cast<FifoHeader*>(view);
          capacity_ = capacity;
        } else {
          LogPrintf("CFifo: shared header of %s has an invalid capacity %i\n", name, capacity);
          UnmapViewOfFile(view);
        }
      }
    }
  } else {
    if (size < 0 || size > INT32_MAX - kFifoStorageOverhead) return false;
    // A security descriptor with a present but null access list: every user may open it.
    PSECURITY_DESCRIPTOR descriptor = static_cast<PSECURITY_DESCRIPTOR>(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    if (descriptor == nullptr) {
      LogPrintf("Error: pSD==NULL\n");
    } else if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION)) {
      LogPrintf("Error: !InitializeSecurityDescriptor\n");
    } else if (!SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE)) {
      LogPrintf("Error: !SetSecurityDescriptorDacl\n");
    } else {
      attributes.lpSecurityDescriptor = descriptor;
    }
    // The key starts as this object's address; should another FIFO (of this or another
    // process) already use the name, the next key is tried, so names never collide.
    uint32_t key = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this));
    HANDLE mapping = nullptr;
    DWORD error = 0;
    for (int attempt = 0; attempt < 64; ++attempt, ++key) {
      FormatSharedName(name, sizeof(name), "Mapping", key, id_);
      mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                   static_cast<DWORD>(size) + kFifoStorageOverhead, name);
      error = GetLastError();
      if (mapping && error == ERROR_ALREADY_EXISTS) {
        CloseHandle(mapping);
        mapping = nullptr;
        continue;
      }
      break;
    }
    key_ = key;
    LogPrintf("%s\n", name);
    if (mapping == nullptr) {
      LogPrintf("Could not create file-mapping object.\n");
    } else {
      mapping_ = mapping;
      LogPrintf("hMapFile=%i\n", static_cast<int>(reinterpret_cast<intptr_t>(mapping)));
      void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
      if (view) {
        LogPrintf("file mapping! %x\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(view)));
        header_ = static_cast<FifoHeader*>(view);
        capacity_ = size + 1;
      } else {
        LogSystemError(GetLastError(), size);
      }
    }
    if (descriptor) LocalFree(descriptor);
  }
  mutex_ = CreateNamedObjects("Mutex", key_, id_, true);
  if (mutex_ == nullptr) LogPrintf("Could not create mutex object.\n");
  getEvent_ = CreateNamedObjects("GetEvent", key_, id_, false);
  if (getEvent_ == nullptr) LogPrintf("Could not create GetEvent object.\n");
  putEvent_ = CreateNamedObjects("PutEvent", key_, id_, false);
  if (putEvent_ == nullptr) LogPrintf("Could not create PutEvent object.\n");
  return header_ != nullptr;
}

void CFifo::DestroyShared() {
  Lock();
  if (header_) UnmapViewOfFile(header_);
  header_ = nullptr;
  data_ = nullptr;
  if (mapping_) CloseHandle(static_cast<HANDLE>(mapping_));
  mapping_ = nullptr;
  Unlock();
  if (mutex_) CloseHandle(static_cast<HANDLE>(mutex_));
  if (putEvent_) CloseHandle(static_cast<HANDLE>(putEvent_));
  if (getEvent_) CloseHandle(static_cast<HANDLE>(getEvent_));
  mutex_ = putEvent_ = getEvent_ = nullptr;
}

// A named mutex is re-entrant for its owner, which Put relies on (it discards while
// holding the lock). An abandoned mutex (the peer died holding it) is ours now.
void CFifo::Lock() const {
  if (mutex_) WaitForSingleObject(static_cast<HANDLE>(mutex_), INFINITE);
}
void CFifo::Unlock() const {
  if (mutex_) ReleaseMutex(static_cast<HANDLE>(mutex_));
}
void CFifo::SignalPut() const {
  if (putEvent_) SetEvent(static_cast<HANDLE>(putEvent_));
}
void CFifo::SignalGet() const {
  if (getEvent_) SetEvent(static_cast<HANDLE>(getEvent_));
}
