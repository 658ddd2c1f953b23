#include "app/WindowPlacement.h"

#include <algorithm>

namespace {

// The start of a span of `size` moved into [low, high); low wins when it does not fit.
int ClampStart(int start, int size, int low, int high) { return std::max(low, std::min(start, high - size)); }

}  // namespace

ScreenRect KeepOnWorkArea(const ScreenRect& window, const ScreenRect& workArea) {
    ScreenRect r = window;
    r.left = ClampStart(window.left, window.Width(), workArea.left, workArea.right);
    r.top = ClampStart(window.top, window.Height(), workArea.top, workArea.bottom);
    r.right = r.left + window.Width();
    r.bottom = r.top + window.Height();
    return r;
}
