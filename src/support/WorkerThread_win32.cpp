// Win32 thread primitive of WorkerThread: a suspended CreateThread, real auto-reset
// events (so a driver can signal the stop event directly) and the thread priorities.
#include <windows.h>

#include <atomic>
#include <mutex>

#include "support/WorkerThread.h"

struct WorkerThread::Platform {
  HANDLE thread = nullptr;
};

bool WorkerThread::CreateSuspended() {
  // A local class has the member function's access, so it may call the private Entry.
  struct Launch {
    static DWORD WINAPI Run(LPVOID arg) {
      WorkerThread::Entry(static_cast<WorkerThread*>(arg));
      return 0;
    }
  };
  DWORD id = 0;
  HANDLE h = CreateThread(nullptr, 0, &Launch::Run, this, CREATE_SUSPENDED, &id);
  if (h == nullptr) return false;
  platform_ = new Platform{h};
  threadId_.store(id, std::memory_order_relaxed);
  return true;
}

void WorkerThread::ApplyPriority() {
  int32_t p = priority_.load(std::memory_order_relaxed);
  if (platform_ == nullptr || p == 0) return;
  // 15 is the program's name for "time critical"; Windows' own constant has that value,
  // but map it explicitly so the intent does not hang on a coincidence.
  SetThreadPriority(platform_->thread, p == kTimeCriticalPriority ? THREAD_PRIORITY_TIME_CRITICAL : p);
}

bool WorkerThread::ResumeCreated() { return ResumeThread(platform_->thread) != static_cast<DWORD>(-1); }

void WorkerThread::AbandonCreated() {
  if (platform_ == nullptr) return;
  // The thread never ran a line of ours (it is still suspended), so ending it from here
  // leaves nothing half done.
  TerminateThread(platform_->thread, 1);
  WaitForSingleObject(platform_->thread, 2000);
  CloseHandle(platform_->thread);
  delete platform_;
  platform_ = nullptr;
}

namespace {
using AvSetMmThreadCharacteristicsFn = HANDLE(WINAPI*)(LPCSTR, LPDWORD);
using AvRevertMmThreadCharacteristicsFn = BOOL(WINAPI*)(HANDLE);
std::once_flag g_avrtOnce;
std::atomic<AvSetMmThreadCharacteristicsFn> g_avSet{nullptr};
std::atomic<AvRevertMmThreadCharacteristicsFn> g_avRevert{nullptr};
}  // namespace

void WorkerThread::LoadMultimediaClass() {
  // avrt.dll exists from Vista on; taken at run time so the program still starts where it
  // does not, and kept for the life of the process.
  std::call_once(g_avrtOnce, [] {
    HMODULE lib = LoadLibraryA("avrt.dll");
    if (lib == nullptr) return;
    auto set = reinterpret_cast<AvSetMmThreadCharacteristicsFn>(
        reinterpret_cast<void*>(GetProcAddress(lib, "AvSetMmThreadCharacteristicsA")));
    auto revert = reinterpret_cast<AvRevertMmThreadCharacteristicsFn>(
        reinterpret_cast<void*>(GetProcAddress(lib, "AvRevertMmThreadCharacteristics")));
    if (set != nullptr && revert != nullptr) {
      g_avRevert.store(revert, std::memory_order_release);
      g_avSet.store(set, std::memory_order_release);
    }
  });
}

void* WorkerThread::EnterMultimediaClass() {
  AvSetMmThreadCharacteristicsFn set = g_avSet.load(std::memory_order_acquire);
  if (set == nullptr) return nullptr;
  DWORD taskIndex = 0;
  return set("Pro Audio", &taskIndex);  // null when the service refuses: priority 15 stays
}

void WorkerThread::LeaveMultimediaClass(void* token) {
  AvRevertMmThreadCharacteristicsFn revert = g_avRevert.load(std::memory_order_acquire);
  if (revert != nullptr && token != nullptr) revert(static_cast<HANDLE>(token));
}

void WorkerThread::ReleaseHandle() {
  if (platform_ == nullptr) return;
  // The body has left (active count 0); the thread itself ends a moment later. Wait for
  // that briefly so a closed worker leaves no thread behind.
  WaitForSingleObject(platform_->thread, 2000);
  CloseHandle(platform_->thread);
  delete platform_;
  platform_ = nullptr;
}

WorkerEventHandle WorkerThread::CreateAutoResetEvent() { return CreateEventA(nullptr, FALSE, FALSE, nullptr); }

void WorkerThread::DestroyEvent(WorkerEventHandle event) {
  if (event != nullptr) CloseHandle(static_cast<HANDLE>(event));
}

void WorkerThread::ResetEvent(WorkerEventHandle event) { ::ResetEvent(static_cast<HANDLE>(event)); }

void WorkerThread::SignalEvent(WorkerEventHandle event) {
  if (event != nullptr) SetEvent(static_cast<HANDLE>(event));
}

bool WorkerThread::WaitEvent(WorkerEventHandle event, uint32_t ms) {
  return WaitForSingleObject(static_cast<HANDLE>(event), ms == UINT32_MAX ? INFINITE : ms) == WAIT_OBJECT_0;
}
