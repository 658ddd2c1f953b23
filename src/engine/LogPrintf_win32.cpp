#include <windows.h>

#include "engine/LogPlatform.h"
#include "engine/LogPrintf.h"

// The whole text in one console write, so lines of different threads do not interleave.
void LogPlatformConsoleWrite(void* console, const char* text, size_t length) {
  DWORD written = 0;
  WriteConsoleA(static_cast<HANDLE>(console), text, static_cast<DWORD>(length), &written, nullptr);
}

void LogPlatformDebugWrite(const char* text) { OutputDebugStringA(text); }

// Messages are written in the Western code page; the console shows code page 437.
void LogConvertForConsole(char* text) { LogConvertWesternToOem(text); }
