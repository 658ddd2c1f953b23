#include <cstdio>

#include "engine/LogPlatform.h"
#include "engine/LogPrintf.h"

// Without a console object, a console sink writes to standard error.
void LogPlatformConsoleWrite(void*, const char* text, size_t length) {
  std::fwrite(text, 1, length, stderr);
}

// No debugger channel here.
void LogPlatformDebugWrite(const char*) {}

// Text is UTF-8 here; the Western table would corrupt its lead bytes.
void LogConvertForConsole(char*) {}
