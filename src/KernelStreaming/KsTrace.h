// The kernel-streaming layer's levelled trace. Level 1 failures, 3 unreadable pin
// properties, 4 and 5 notes, 6 the leaving trace of every operation. A trace is written to
// the debugger output only when its level is at most the threshold, which starts at 0, so
// normal operation writes nothing and formats nothing (safe on stream threads).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#if defined(__GNUC__)
#define KS_TRACE_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define KS_TRACE_FORMAT(f, a)
#endif

extern std::atomic<int32_t> g_ksTraceThreshold;

// Formats into 260 bytes (longer text is cut) and writes to OutputDebugString and to the
// hook, if one is set.
void KsTraceWrite(int32_t level, const char* format, ...) KS_TRACE_FORMAT(2, 3);

#define KsTrace(level, ...)                                                          \
  do {                                                                               \
    if ((level) <= g_ksTraceThreshold.load(std::memory_order_relaxed))                \
      KsTraceWrite((level), __VA_ARGS__);                                            \
  } while (0)

// The trace written when an operation leaves: source path, line and the returned code.
#define KS_LEAVE(hr)                                                                 \
  KsTrace(6, "%s(%d): leaving hr=0x%08lx", __FILE__, __LINE__, (unsigned long)(hr))

void KsSetTraceThreshold(int32_t level);
int32_t KsGetTraceThreshold();
// Test and diagnostics hook: receives every trace that passes the threshold (formatted,
// already cut to 259 characters). nullptr removes it. Not while traces are being written.
using KsTraceHook = void (*)(int32_t level, const char* text, void* context);
void KsSetTraceHook(KsTraceHook hook, void* context);
