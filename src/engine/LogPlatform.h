// Platform parts of the diagnostic log (LogPrintf_win32.cpp, LogPrintf_posix.cpp).
#pragma once

#include <cstddef>

void LogPlatformConsoleWrite(void* console, const char* text, size_t length);
void LogPlatformDebugWrite(const char* text);
