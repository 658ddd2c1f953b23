// The one thread abstraction of the program: every streaming audio interface owns one
// worker and runs its device loop on it. Start returns only once the body runs; a stop
// request wakes a sleeping body at once; Stop returns only when the body has left.
//
// Threads: Start, Stop, RequestStop, SetPriority on the controlling (window) thread; the
// body reads IsRunning/Wait on the worker's own thread. Stop must never be called from the
// body (it waits for the body to leave). Wait, IsRunning and SignalEvent are real-time
// safe: no allocation, no lock other than the event's own.
//
// The stop event doubles as the wake-up event: an owner may hand it to a driver as its
// completion event (the Wave interface does), so every device notification wakes Wait
// early with the running flag still set. On Windows it is a real auto-reset event
// (HANDLE); in the portable build it is an equivalent object that SignalEvent sets.
#pragma once

#include <atomic>
#include <cstdint>

class WorkerThread;

// What a worker runs. ThreadBody is called once per Start on the worker's thread; it
// should loop on `while (worker.Wait(periodMs)) { one pass }` or check IsRunning around
// blocking work, so that a stop request ends it within one pass.
class WorkerBody {
 public:
  virtual ~WorkerBody() = default;
  virtual void ThreadBody(WorkerThread& worker) = 0;
};

// Opaque event handle: a Win32 HANDLE in the Windows build.
using WorkerEventHandle = void*;

class WorkerThread {
 public:
  // The platform's time-critical priority as the program names it.
  static constexpr int32_t kTimeCriticalPriority = 15;

  WorkerThread();   // both events created, no thread
  ~WorkerThread();  // Stop, then both events closed
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void SetBody(WorkerBody* body);  // not owned
  // Applies to a running thread at once and is remembered for later starts; 0 leaves the
  // platform default. 15 maps to the time-critical priority, other values are passed to
  // the platform as thread priorities (Windows) or only remembered (portable build: the
  // native tree streams no device, so it does not ask for real-time scheduling).
  void SetPriority(int32_t priority);
  int32_t GetPriority() const { return priority_.load(std::memory_order_relaxed); }

  // How long Start waits for the new thread to enter its body.
  static constexpr uint32_t kStartWaitMs = 5000;

  // 0 once the body has been entered; 1 when the thread could not be created or resumed,
  // or did not run within kStartWaitMs (the running flag is then clear, and a thread that
  // runs late leaves at once without running the body). StartFailureText says which.
  // Clears any stale stop signal first.
  int32_t Start();
  // Why the last Start returned 1 ("" after a good one). Controlling thread.
  const char* StartFailureText() const { return startFailure_; }
  // Clears the running flag and wakes the body. Any thread, also the body's.
  void RequestStop();
  // RequestStop, waits until the body has left, releases the thread. Not from the body.
  void Stop();

  bool IsRunning() const { return running_.load(std::memory_order_acquire) != 0; }
  // Sleeps on the stop event for at most ms milliseconds (woken early by a stop request
  // or by any signal of the event), then returns IsRunning().
  bool Wait(uint32_t ms);
  WorkerEventHandle GetStopEvent() const { return stopEvent_; }
  int32_t GetActiveCount() const { return activeCount_.load(std::memory_order_acquire); }
  // Platform thread id of the last started thread (0 before any start).
  uint32_t GetThreadId() const { return threadId_.load(std::memory_order_relaxed); }

  // Signals an event obtained from GetStopEvent, as a driver would. Any thread.
  static void SignalEvent(WorkerEventHandle event);

  // True while the body runs registered with the multimedia class scheduler ("Pro
  // Audio"): every worker at priority 15 asks for it where the system offers it (Windows
  // Vista on; elsewhere, and natively, it stays false and nothing else changes).
  bool IsInMultimediaClass() const { return inMultimediaClass_.load(std::memory_order_acquire); }

  // Test seams: the next n calls to Start fail as if the platform refused the thread, or
  // as if it refused to resume the created thread.
  static void FailNextStartsForTesting(int32_t n);
  static void FailNextResumesForTesting(int32_t n);

 private:
  struct Platform;  // the thread primitive (WorkerThread_win32.cpp / _portable.cpp)
  static void Entry(WorkerThread* self);
  bool CreateSuspended();
  void ApplyPriority();
  bool ResumeCreated();   // false when the system refused
  void AbandonCreated();  // a created thread that never ran: ended and released
  void ReleaseHandle();
  // Registration with the multimedia class scheduler, on the worker's own thread; a null
  // token when unavailable. The library is loaded on the controlling thread (Start).
  static void LoadMultimediaClass();
  static void* EnterMultimediaClass();
  static void LeaveMultimediaClass(void* token);
  static WorkerEventHandle CreateAutoResetEvent();
  static void DestroyEvent(WorkerEventHandle event);
  static void ResetEvent(WorkerEventHandle event);
  // Waits without limit (ms = UINT32_MAX) or up to ms; true when signalled.
  static bool WaitEvent(WorkerEventHandle event, uint32_t ms);

  Platform* platform_ = nullptr;  // thread handle or object; null when no thread exists
  WorkerEventHandle stopEvent_ = nullptr;
  WorkerEventHandle startedEvent_ = nullptr;
  std::atomic<int32_t> running_{0};
  WorkerBody* body_ = nullptr;
  std::atomic<int32_t> activeCount_{0};
  std::atomic<uint32_t> threadId_{0};
  std::atomic<int32_t> priority_{0};
  const char* startFailure_ = "";
  std::atomic<bool> inMultimediaClass_{false};
  std::atomic<bool> startAbandoned_{false};  // Start gave up waiting: a late thread skips the body
};
