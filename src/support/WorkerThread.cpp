// The platform-independent half of WorkerThread: start, stop and wait logic. The thread
// primitive and the events live in WorkerThread_win32.cpp and WorkerThread_portable.cpp.
#include "support/WorkerThread.h"

#include <chrono>
#include <thread>

namespace {
std::atomic<int32_t> g_failNextStarts{0};
}

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

int32_t WorkerThread::Start() {
  if (platform_ != nullptr) {
    // A thread from an earlier start still exists. While its body runs a second thread
    // would share the flags and events with it, so refuse; a finished one is released.
    if (GetActiveCount() != 0) return 1;
    ReleaseHandle();
  }
  if (stopEvent_ == nullptr || startedEvent_ == nullptr) return 1;
  running_.store(1, std::memory_order_release);
  int32_t injected = g_failNextStarts.load();
  while (injected > 0 && !g_failNextStarts.compare_exchange_weak(injected, injected - 1)) {
  }
  if (injected > 0 || !CreateSuspended()) {
    running_.store(0, std::memory_order_release);
    return 1;
  }
  if (priority_.load(std::memory_order_relaxed) != 0) ApplyPriority();
  // A stop signal (or device notification) left from an earlier run must not end the
  // new body at once.
  ResetEvent(stopEvent_);
  ResumeCreated();
  WaitEvent(startedEvent_, UINT32_MAX);
  return 0;
}

void WorkerThread::Entry(WorkerThread* self) {
  self->activeCount_.fetch_add(1, std::memory_order_acq_rel);
  SignalEvent(self->startedEvent_);
  if (self->body_ != nullptr) self->body_->ThreadBody(*self);
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
