#include "app/StatusText.h"

#include <cstdarg>
#include <cstdio>

namespace {

void Append(std::string& out, const char* format, ...) {
    char piece[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (n > 0) out.append(piece, static_cast<size_t>(n) < sizeof piece ? n : sizeof piece - 1);
}

}  // namespace

std::string FormatStatusText(const StatusFigures& f) {
    std::string s;
    Append(s, "Input: %.02f \t", f.inputRate);
    Append(s, "\tOutput:%.02f \n", f.outputRate);
    Append(s, "Ratio: %.04f\t\tOver: %i  Under: %i\n", f.ratio, f.overruns, f.underruns);
    Append(s, "Input Jitter: %.01f %% \t", f.inputJitter);
    Append(s, "Output Jitter: %.01f %%\n", f.outputJitter);
    Append(s, "SRC delay: %i \t", f.srcDelay);
    return s;
}

std::string InputErrorText(const std::string& portError) {
    return "Input Error:\n" + portError;
}

std::string OutputErrorText(const std::string& portError) {
    return "Output Error:\n" + portError;
}
