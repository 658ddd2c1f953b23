// Where a restored window may go: a saved position is only worth keeping while some
// monitor still shows the window. Pure function; the Win32 layer finds the work area.
#pragma once

struct ScreenRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

// The window moved, without a change of size, as little as it takes to lie wholly within
// the work area (the monitor's area without task bars), or unchanged when it already
// does. A window larger than the area keeps its top-left corner on the area, so that its
// title bar can be reached.
ScreenRect KeepOnWorkArea(const ScreenRect& window, const ScreenRect& workArea);
