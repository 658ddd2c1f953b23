// printf-style appending for the status and report texts. Window thread only: it builds
// strings, which the audio threads never do.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

// Appends one formatted piece of at most 511 characters (longer pieces are cut).
inline void Append(std::string& out, const char* format, ...) {
    char piece[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (n > 0) out.append(piece, static_cast<size_t>(n) < sizeof piece ? n : sizeof piece - 1);
}
