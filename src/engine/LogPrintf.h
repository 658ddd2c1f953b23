// Program-wide diagnostic print. Every sink is off at start, and while all are off a call
// returns before formatting anything, so the device threads may call it freely; with a
// sink on, a call formats into a stack buffer and writes from the calling thread (direct
// mode) or hands the text to a bounded queue drained by a writer thread (queued mode).
#pragma once

#include <cstdint>
#include <cstdio>

#if defined(__GNUC__)
#define VELORAND_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define VELORAND_PRINTF_FORMAT(f, a)
#endif

// Formats (at most 1023 characters are kept), converts the text for the console code page
// where the platform needs it, and hands it to every sink that is on. Never fails.
void LogPrintf(const char* format, ...) VELORAND_PRINTF_FORMAT(1, 2);

// ---- Sink switches (window thread; not meant for the device threads) ----------------
// Console: a platform console handle (Windows HANDLE from GetStdHandle or AllocConsole);
// elsewhere any non-null value writes to standard error. nullptr switches it off.
void LogSetConsole(void* consoleHandle);
// Standard output: non-zero writes every message to stdout, verbatim.
void LogSetStdout(int32_t on);
// Log file: an open stream the caller owns and keeps open while set; nullptr = off.
void LogSetFile(std::FILE* file);
// Debugger output (OutputDebugString on Windows; ignored elsewhere).
void LogSetDebugger(int32_t on);
// A function sink, mainly for tests and embedding: receives every converted message.
using LogSinkFunction = void (*)(const char* text, void* context);
void LogSetFunction(LogSinkFunction sink, void* context);
// Queued mode: non-zero starts the writer thread and routes messages through the queue;
// 0 drains what is pending, stops the writer and returns to direct mode. Producers wait
// in 10 ms steps while more than 50 messages are pending.
void LogSetQueued(int32_t on);
// Messages waiting in the queue (for tests and shutdown).
int32_t LogPendingCount();
// Switches every sink off and stops the writer (also done at process exit).
void LogResetSinks();

// ---- Conversion helpers ----------------------------------------------------------
// Western (Windows-1252) to console code page 437 for the six Nordic letters
// Ä Å Ö ä å ö; every other byte stays. In place, up to the terminator.
void LogConvertWesternToOem(char* text);
// What LogPrintf applies: the conversion above on Windows, nothing elsewhere (the
// text there is UTF-8, whose lead bytes the table would corrupt).
void LogConvertForConsole(char* text);
