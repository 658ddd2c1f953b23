// Portable thread primitive of WorkerThread (the native build): std::thread held at a gate
// until Start "resumes" it, and auto-reset events made of a mutex and a condition
// variable, behaving like the Win32 ones (a signal with no waiter stays set until one
// waiter consumes it).
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/WorkerThread.h"

namespace {
struct PortableEvent {
  std::mutex mutex;
  std::condition_variable cv;
  bool signalled = false;
};
std::atomic<uint32_t> g_nextThreadId{1};
}  // namespace

struct WorkerThread::Platform {
  std::thread thread;
  std::mutex gateMutex;
  std::condition_variable gateCv;
  bool resumed = false;
  bool abandoned = false;  // released without running Entry
};

bool WorkerThread::CreateSuspended() {
  auto* p = new Platform;
  try {
    p->thread = std::thread([this, p] {
      {
        std::unique_lock<std::mutex> lock(p->gateMutex);
        p->gateCv.wait(lock, [p] { return p->resumed; });
        if (p->abandoned) return;
      }
      Entry(this);
    });
  } catch (...) {
    delete p;
    return false;
  }
  platform_ = p;
  threadId_.store(g_nextThreadId.fetch_add(1), std::memory_order_relaxed);
  return true;
}

// The native tree has no device threads, so it never asks the scheduler for real-time
// priority (that would need privileges and could starve a shared test machine); the
// requested value is only remembered and reported by GetPriority.
void WorkerThread::ApplyPriority() {}

bool WorkerThread::ResumeCreated() {
  {
    std::lock_guard<std::mutex> lock(platform_->gateMutex);
    platform_->resumed = true;
  }
  platform_->gateCv.notify_one();
  return true;
}

void WorkerThread::AbandonCreated() {
  if (platform_ == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(platform_->gateMutex);
    platform_->abandoned = true;
    platform_->resumed = true;
  }
  platform_->gateCv.notify_one();
  ReleaseHandle();
}

// No multimedia class scheduler outside Windows.
void WorkerThread::LoadMultimediaClass() {}
void* WorkerThread::EnterMultimediaClass() { return nullptr; }
void WorkerThread::LeaveMultimediaClass(void*) {}

void WorkerThread::ReleaseHandle() {
  if (platform_ == nullptr) return;
  if (platform_->thread.joinable()) platform_->thread.join();
  delete platform_;
  platform_ = nullptr;
}

WorkerEventHandle WorkerThread::CreateAutoResetEvent() { return new PortableEvent; }

void WorkerThread::DestroyEvent(WorkerEventHandle event) { delete static_cast<PortableEvent*>(event); }

void WorkerThread::ResetEvent(WorkerEventHandle event) {
  auto* e = static_cast<PortableEvent*>(event);
  std::lock_guard<std::mutex> lock(e->mutex);
  e->signalled = false;
}

void WorkerThread::SignalEvent(WorkerEventHandle event) {
  auto* e = static_cast<PortableEvent*>(event);
  if (e == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(e->mutex);
    e->signalled = true;
  }
  e->cv.notify_one();
}

bool WorkerThread::WaitEvent(WorkerEventHandle event, uint32_t ms) {
  auto* e = static_cast<PortableEvent*>(event);
  std::unique_lock<std::mutex> lock(e->mutex);
  if (ms == UINT32_MAX) {
    e->cv.wait(lock, [e] { return e->signalled; });
  } else if (!e->cv.wait_for(lock, std::chrono::milliseconds(ms), [e] { return e->signalled; })) {
    return false;
  }
  e->signalled = false;  // auto-reset: one waiter consumes the signal
  return true;
}
