// WorkerThread in both trees: in the Windows tree these run the Win32 threads and events
// under Wine, natively the portable implementation; the behaviour must be the same.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/WorkerThread.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {
using Clock = std::chrono::steady_clock;

// Long period, so a wake-up that arrives within a few seconds can only be the signal.
constexpr uint32_t kPeriodMs = 20000;
constexpr auto kPrompt = std::chrono::seconds(5);

struct CountingBody : WorkerBody {
  std::atomic<int> passes{0};
  std::atomic<int> lastWaitResult{-1};
  std::atomic<int> priority{0};
  std::atomic<bool> entered{false};
  void ThreadBody(WorkerThread& w) override {
#ifdef _WIN32
    priority = GetThreadPriority(GetCurrentThread());
#endif
    entered = true;
    bool r;
    while ((r = w.Wait(kPeriodMs))) {
      lastWaitResult = 1;
      ++passes;
    }
    lastWaitResult = 0;
  }
};

template <typename F>
bool WaitFor(F cond, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
  auto end = Clock::now() + limit;
  while (!cond()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
}  // namespace

TEST(WorkerThread, StartReturnsWithTheBodyEnteredAndStopWaitsForItToLeave) {
  CountingBody body;
  WorkerThread w;
  w.SetBody(&body);
  ASSERT_EQ(w.Start(), 0);
  EXPECT_TRUE(w.IsRunning());
  EXPECT_EQ(w.GetActiveCount(), 1);  // Start returns only once the body runs
  auto t0 = Clock::now();
  w.Stop();
  EXPECT_LT(Clock::now() - t0, kPrompt);  // the stop wakes the 20 s Wait at once
  EXPECT_EQ(w.GetActiveCount(), 0);
  EXPECT_FALSE(w.IsRunning());
  EXPECT_EQ(body.lastWaitResult.load(), 0);
  EXPECT_EQ(body.passes.load(), 0);
}

TEST(WorkerThread, RequestStopEndsWaitAtOnceWithFalse) {
  CountingBody body;
  WorkerThread w;
  w.SetBody(&body);
  ASSERT_EQ(w.Start(), 0);
  auto t0 = Clock::now();
  w.RequestStop();
  EXPECT_TRUE(WaitFor([&] { return w.GetActiveCount() == 0; }));
  EXPECT_LT(Clock::now() - t0, kPrompt);
  EXPECT_EQ(body.lastWaitResult.load(), 0);
  w.Stop();
}

TEST(WorkerThread, ASignalOnTheStopEventWakesOnePassWhileRunning) {
  CountingBody body;
  WorkerThread w;
  w.SetBody(&body);
  ASSERT_EQ(w.Start(), 0);
  for (int i = 1; i <= 3; ++i) {
    WorkerThread::SignalEvent(w.GetStopEvent());
    ASSERT_TRUE(WaitFor([&] { return body.passes.load() == i; }, kPrompt)) << "signal " << i;
    EXPECT_EQ(body.lastWaitResult.load(), 1);
    EXPECT_TRUE(w.IsRunning());
  }
  w.Stop();
  EXPECT_EQ(body.passes.load(), 3);
}

TEST(WorkerThread, RestartClearsAStaleSignalAndStopBeforeStartIsHarmless) {
  WorkerThread idle;
  auto t0 = Clock::now();
  idle.Stop();  // never started
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));

  CountingBody body;
  WorkerThread w;
  w.SetBody(&body);
  ASSERT_EQ(w.Start(), 0);
  w.Stop();
  // A device notification arriving after the stop must not count for the next run.
  WorkerThread::SignalEvent(w.GetStopEvent());
  ASSERT_EQ(w.Start(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(body.passes.load(), 0);
  EXPECT_TRUE(w.IsRunning());
  w.Stop();
  EXPECT_EQ(w.GetActiveCount(), 0);
}

TEST(WorkerThread, PrioritySetBeforeStartReachesTheThread) {
  CountingBody body;
  WorkerThread w;
  w.SetBody(&body);
  w.SetPriority(WorkerThread::kTimeCriticalPriority);
  ASSERT_EQ(w.Start(), 0);
  EXPECT_EQ(w.GetPriority(), 15);
  ASSERT_TRUE(WaitFor([&] { return body.entered.load(); }));
#ifdef _WIN32
  EXPECT_EQ(body.priority.load(), THREAD_PRIORITY_TIME_CRITICAL);
#endif
  w.Stop();
}

TEST(WorkerThread, FailedCreationReportsOneAndLeavesNothingRunning) {
  CountingBody body;
  WorkerThread w;
  w.SetBody(&body);
  WorkerThread::FailNextStartsForTesting(1);
  EXPECT_EQ(w.Start(), 1);
  EXPECT_FALSE(w.IsRunning());
  EXPECT_EQ(w.GetActiveCount(), 0);
  w.Stop();
  // The next start works normally.
  ASSERT_EQ(w.Start(), 0);
  EXPECT_TRUE(w.IsRunning());
  // A second start while the body runs would share its events: refused.
  EXPECT_EQ(w.Start(), 1);
  w.Stop();
}

TEST(WorkerThread, ARefusedResumeFailsTheStartWithATextAndRunsNoBody) {
  CountingBody body;
  WorkerThread w;
  w.SetBody(&body);
  WorkerThread::FailNextResumesForTesting(1);
  EXPECT_EQ(w.Start(), 1);
  EXPECT_STREQ(w.StartFailureText(), "the system refused to resume the thread");
  EXPECT_FALSE(w.IsRunning());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(body.entered.load());
  EXPECT_EQ(w.GetActiveCount(), 0);
  ASSERT_EQ(w.Start(), 0);
  EXPECT_STREQ(w.StartFailureText(), "");
  w.Stop();
}

// Where the system offers the audio class (Windows, and Wine's avrt), a priority-15
// worker runs registered in it; elsewhere nothing changes.
TEST(WorkerThread, TimeCriticalWorkersJoinTheMultimediaClassWhereOffered) {
  CountingBody body;
  WorkerThread w;
  w.SetBody(&body);
  w.SetPriority(WorkerThread::kTimeCriticalPriority);
  ASSERT_EQ(w.Start(), 0);
  ASSERT_TRUE(WaitFor([&] { return body.entered.load(); }));
#ifdef _WIN32
  HMODULE avrt = LoadLibraryA("avrt.dll");
  EXPECT_EQ(w.IsInMultimediaClass(), avrt != nullptr);
  if (avrt != nullptr) FreeLibrary(avrt);
#else
  EXPECT_FALSE(w.IsInMultimediaClass());
#endif
  w.Stop();
  EXPECT_FALSE(w.IsInMultimediaClass());
}

TEST(WorkerThread, ManyStartStopCyclesLeaveNoActiveBody) {
  CountingBody body;
  WorkerThread w;
  w.SetBody(&body);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(w.Start(), 0) << "cycle " << i;
    if (i % 3 == 0) WorkerThread::SignalEvent(w.GetStopEvent());
    w.Stop();
    ASSERT_EQ(w.GetActiveCount(), 0);
  }
}
