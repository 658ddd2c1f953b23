#include "KernelStreaming/KsTrace.h"

#include <cstdarg>
#include <cstdio>

std::atomic<int32_t> g_ksTraceThreshold{0};

namespace {
std::atomic<KsTraceHook> g_hook{nullptr};
std::atomic<void*> g_hookContext{nullptr};
}  // namespace

void KsTraceWrite(int32_t level, const char* format, ...) {
  char text[260];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (n < 0) text[0] = 0;
  OutputDebugStringA(text);
  if (KsTraceHook hook = g_hook.load(std::memory_order_acquire))
    hook(level, text, g_hookContext.load(std::memory_order_relaxed));
}

void KsSetTraceThreshold(int32_t level) { g_ksTraceThreshold.store(level, std::memory_order_relaxed); }
int32_t KsGetTraceThreshold() { return g_ksTraceThreshold.load(std::memory_order_relaxed); }

void KsSetTraceHook(KsTraceHook hook, void* context) {
  g_hookContext.store(context, std::memory_order_relaxed);
  g_hook.store(hook, std::memory_order_release);
}
