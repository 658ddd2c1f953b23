#include "engine/LogPrintf.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <thread>

#include "engine/LogPlatform.h"

namespace {

constexpr size_t kMessageBytes = 1024;
// Producers wait while more than this many messages are pending, so at most 51 wait.
constexpr int32_t kMaxPending = 50;
// The ring holds a few more than that: several producers may pass the check at once.
constexpr int32_t kQueueSlots = 64;

// Sink settings: written by the window thread, read by every thread that logs.
std::atomic<void*> g_console{nullptr};
std::atomic<int32_t> g_stdout{0};
std::atomic<std::FILE*> g_file{nullptr};
std::atomic<int32_t> g_debugger{0};
std::atomic<LogSinkFunction> g_function{nullptr};
std::atomic<void*> g_functionContext{nullptr};
std::atomic<int32_t> g_queued{0};

bool AnySinkOn() {
  return g_console.load(std::memory_order_relaxed) != nullptr || g_stdout.load(std::memory_order_relaxed) != 0 ||
         g_file.load(std::memory_order_relaxed) != nullptr || g_debugger.load(std::memory_order_relaxed) != 0 ||
         g_function.load(std::memory_order_acquire) != nullptr;
}

void WriteToSinks(const char* text) {
  size_t length = std::strlen(text);
  if (void* console = g_console.load(std::memory_order_relaxed)) LogPlatformConsoleWrite(console, text, length);
  if (g_stdout.load(std::memory_order_relaxed)) {
    // Verbatim: the text is never used as a format again.
    std::fputs(text, stdout);
    std::fflush(stdout);
  }
  if (std::FILE* file = g_file.load(std::memory_order_relaxed)) {
    std::fwrite(text, 1, length, file);
    std::fflush(file);
  }
  if (g_debugger.load(std::memory_order_relaxed)) LogPlatformDebugWrite(text);
  if (LogSinkFunction function = g_function.load(std::memory_order_acquire))
    function(text, g_functionContext.load(std::memory_order_acquire));
}

// Bounded queue of fixed-size messages, drained by one writer thread. Allocation happens
// only when the queue is first used (queued mode is never the default).
class LogQueue {
 public:
  ~LogQueue() { Stop(); }

  void Start() {
    std::lock_guard<std::mutex> control(control_);
    if (writer_.joinable()) return;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stop_ = false;
    }
    writer_ = std::thread([this] { Run(); });
  }

  void Stop() {
    std::lock_guard<std::mutex> control(control_);
    if (!writer_.joinable()) return;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    writer_.join();
  }

  void Push(const char* text) {
    while (pending_.load(std::memory_order_acquire) > kMaxPending)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(mutex_);
        if (count_ < kQueueSlots) {
          int32_t slot = (head_ + count_) % kQueueSlots;
          size_t length = std::strlen(text);
          if (length > kMessageBytes - 1) length = kMessageBytes - 1;
          std::memcpy(slots_[slot], text, length);
          slots_[slot][length] = '\0';
          ++count_;
          pending_.fetch_add(1, std::memory_order_acq_rel);
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    wake_.notify_one();
  }

  int32_t Pending() const { return pending_.load(std::memory_order_acquire); }

 private:
  void Run() {
    char text[kMessageBytes];
    std::unique_lock<std::mutex> guard(mutex_);
    for (;;) {
      wake_.wait(guard, [this] { return count_ > 0 || stop_; });
      if (count_ == 0 && stop_) return;  // drained
      std::memcpy(text, slots_[head_], kMessageBytes);
      head_ = (head_ + 1) % kQueueSlots;
      --count_;
      guard.unlock();
      WriteToSinks(text);
      pending_.fetch_sub(1, std::memory_order_acq_rel);
      guard.lock();
    }
  }

  std::mutex control_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread writer_;
  bool stop_ = false;
  char slots_[kQueueSlots][kMessageBytes] = {};
  int32_t head_ = 0;
  int32_t count_ = 0;
  std::atomic<int32_t> pending_{0};
};

LogQueue& Queue() {
  static LogQueue queue;
  return queue;
}

}  // namespace

void LogPrintf(const char* format, ...) {
  if (!AnySinkOn() || format == nullptr) return;
  char text[kMessageBytes];
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (written < 0) text[0] = '\0';
  text[kMessageBytes - 1] = '\0';
  LogConvertForConsole(text);
  if (g_queued.load(std::memory_order_acquire))
    Queue().Push(text);
  else
    WriteToSinks(text);
}

void LogSetConsole(void* consoleHandle) { g_console.store(consoleHandle, std::memory_order_relaxed); }
void LogSetStdout(int32_t on) { g_stdout.store(on ? 1 : 0, std::memory_order_relaxed); }
void LogSetFile(std::FILE* file) { g_file.store(file, std::memory_order_relaxed); }
void LogSetDebugger(int32_t on) { g_debugger.store(on ? 1 : 0, std::memory_order_relaxed); }

void LogSetFunction(LogSinkFunction sink, void* context) {
  g_function.store(nullptr, std::memory_order_release);
  g_functionContext.store(context, std::memory_order_release);
  g_function.store(sink, std::memory_order_release);
}

void LogSetQueued(int32_t on) {
  if (on) {
    // The writer starts before producers may queue, so they can never wait for ever.
    Queue().Start();
    g_queued.store(1, std::memory_order_release);
  } else {
    g_queued.store(0, std::memory_order_release);
    Queue().Stop();  // drains what is pending first
  }
}

int32_t LogPendingCount() { return Queue().Pending(); }

void LogResetSinks() {
  LogSetQueued(0);
  LogSetConsole(nullptr);
  LogSetStdout(0);
  LogSetFile(nullptr);
  LogSetDebugger(0);
  LogSetFunction(nullptr, nullptr);
}

void LogConvertWesternToOem(char* text) {
  if (text == nullptr) return;
  for (unsigned char* p = reinterpret_cast<unsigned char*>(text); *p; ++p) {
    switch (*p) {
      case 0xC4: *p = 0x8E; break;  // A umlaut
      case 0xC5: *p = 0x8F; break;  // A ring
      case 0xD6: *p = 0x99; break;  // O umlaut
      case 0xE4: *p = 0x84; break;  // a umlaut
      case 0xE5: *p = 0x86; break;  // a ring
      case 0xF6: *p = 0x94; break;  // o umlaut
      default: break;
    }
  }
}
