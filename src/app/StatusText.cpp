#include "app/StatusText.h"

#include "app/TextAppend.h"

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
