// The platform-independent half of WorkerThread: start, stop and wait logic. The thread
// primitive and the events live in WorkerThread_win32.cpp and WorkerThread_portable.cpp.
#include "support/WorkerThread.h"

#include <chrono>
#include <thread>

namespace {
std::atomic<int32_t> g_failNextStarts{0};
std::atomic<int32_t> g_failNextResumes{0};

// Takes one injected failure, if any is left.
bool TakeInjected(std::atomic<int32_t>& counter) {
  int32_t n = counter.load();
  while (n > 0 && !counter.compare_exchange_weak(n, n - 1)) {
  }
  return n > 0;
}
}  // namespace

WorkerThread::WorkerThread() {
  stopEvent_ = CreateAutoResetEvent();
  startedEvent_ = CreateAutoResetEvent();
}

WorkerThread::~WorkerThread() {
  Stop();
  DestroyEvent(stopEvent_);
  DestroyEvent(startedEvent_);
}

void WorkerThread::SetBody(WorkerBody* body) { body_ = body; }

void WorkerThread::SetPriority(int32_t priority) {
  priority_.store(priority, std::memory_order_relaxed);
  if (platform_ != nullptr) ApplyPriority();
}

void WorkerThread::FailNextStartsForTesting(int32_t n) { g_failNextStarts.store(n); }
void WorkerThread::FailNextResumesForTesting(int32_t n) { g_failNextResumes.store(n); }

int32_t WorkerThread::Start() {
  if (platform_ != nullptr) {
    // A thread from an earlier start still exists. While its body runs a second thread
    // would share the flags and events with it, so refuse; a finished one is released.
    if (GetActiveCount() != 0) return 1;
    ReleaseHandle();
  }
  startFailure_ = "";
  startAbandoned_.store(false, std::memory_order_release);
  if (stopEvent_ == nullptr || startedEvent_ == nullptr) {
    startFailure_ = "no events for the thread";
    return 1;
  }
  if (priority_.load(std::memory_order_relaxed) == kTimeCriticalPriority) LoadMultimediaClass();
  running_.store(1, std::memory_order_release);
  if (TakeInjected(g_failNextStarts) || !CreateSuspended()) {
    running_.store(0, std::memory_order_release);
    startFailure_ = "the system refused to create the thread";
    return 1;
  }
  if (priority_.load(std::memory_order_relaxed) != 0) ApplyPriority();
  // A stop signal (or device notification) left from an earlier run must not end the
  // new body at once; nor may a started signal of a thread that ran late.
  ResetEvent(stopEvent_);
  ResetEvent(startedEvent_);
  if (TakeInjected(g_failNextResumes) || !ResumeCreated()) {
    running_.store(0, std::memory_order_release);
    AbandonCreated();
    startFailure_ = "the system refused to resume the thread";
    return 1;
  }
  if (!WaitEvent(startedEvent_, kStartWaitMs)) {
    // Not run in time: the owner fails its open. Should the thread run later it finds
    // the running flag clear and leaves without the body; Stop or the destructor joins it.
    startAbandoned_.store(true, std::memory_order_release);
    running_.store(0, std::memory_order_release);
    startFailure_ = "the thread did not start in time";
    return 1;
  }
  return 0;
}

void WorkerThread::Entry(WorkerThread* self) {
  self->activeCount_.fetch_add(1, std::memory_order_acq_rel);
  SignalEvent(self->startedEvent_);
  if (self->body_ != nullptr && !self->startAbandoned_.load(std::memory_order_acquire)) {
    // Audio applications register their device threads for the scheduler's audio class,
    // which keeps them on time under load better than the priority alone.
    void* token = self->priority_.load(std::memory_order_relaxed) == kTimeCriticalPriority
                      ? EnterMultimediaClass()
                      : nullptr;
    self->inMultimediaClass_.store(token != nullptr, std::memory_order_release);
    self->body_->ThreadBody(*self);
    self->inMultimediaClass_.store(false, std::memory_order_release);
    if (token != nullptr) LeaveMultimediaClass(token);
  }
  self->activeCount_.fetch_sub(1, std::memory_order_acq_rel);
}

void WorkerThread::RequestStop() {
  running_.store(0, std::memory_order_release);
  if (activeCount_.load(std::memory_order_acquire) != 0) SignalEvent(stopEvent_);
}

void WorkerThread::Stop() {
  RequestStop();
  while (activeCount_.load(std::memory_order_acquire) != 0) {
    // A body may have been signalled between its last Wait and a blocking call; keep the
    // flag clear and look again shortly.
    running_.store(0, std::memory_order_release);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (platform_ != nullptr) ReleaseHandle();
}

bool WorkerThread::Wait(uint32_t ms) {
  WaitEvent(stopEvent_, ms);
  return IsRunning();
}
