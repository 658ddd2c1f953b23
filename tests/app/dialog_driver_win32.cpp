// Drives a running Velorand dialog with window messages, for the end-to-end tests under
// Wine: finds the dialog by its title and selects list entries, clicks buttons, reads
// texts and control states, reads the meter pixels, opens the report and closes the
// window. One command per run; the result goes to stdout, the exit code says 0 = done,
// 1 = failed or timed out, 2 = usage.
#include <windows.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "testutil/SignalAnalysis.h"

using namespace sigan;

namespace {

HWND FindDialog(const char* title, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        // Visible only: the dialog shows itself once its initialisation has finished, and
        // reading its lists before that would race with their filling.
        HWND h = FindWindowA("#32770", title);
        if (h && IsWindowVisible(h)) return h;
        if (GetTickCount() - start >= timeoutMs) return nullptr;
        Sleep(50);
    }
}

std::string Text(HWND h) {
    int n = static_cast<int>(SendMessageA(h, WM_GETTEXTLENGTH, 0, 0));
    std::string s(static_cast<size_t>(n) + 1, '\0');
    SendMessageA(h, WM_GETTEXT, static_cast<WPARAM>(n + 1), reinterpret_cast<LPARAM>(&s[0]));
    s.resize(strlen(s.c_str()));
    return s;
}

// Entry text of a combo box in another process. Wide messages: Wine marshals the item
// text of a cross-process CB_GETLBTEXT as UTF-16 whatever the caller's character set.
std::string ItemText(HWND combo, int i) {
    wchar_t w[512] = {};
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(w));
    char a[1024] = {};
    WideCharToMultiByte(CP_ACP, 0, w, -1, a, sizeof a, nullptr, nullptr);
    return a;
}

int Select(HWND dlg, int id, const char* text) {
    HWND combo = GetDlgItem(dlg, id);
    if (!combo) return 1;
    int n = static_cast<int>(SendMessageA(combo, CB_GETCOUNT, 0, 0));
    int i = -1;
    for (int k = 0; k < n && i < 0; ++k)
        if (ItemText(combo, k) == text) i = k;
    for (int k = 0; k < n && i < 0; ++k)
        if (ItemText(combo, k).rfind(text, 0) == 0) i = k;
    if (i < 0) {
        std::fprintf(stderr, "no entry '%s' in list %d\n", text, id);
        return 1;
    }
    SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
    // What a user's choice sends: the selection-change notification to the dialog.
    SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    return 0;
}

int Click(HWND dlg, int id) {
    HWND button = GetDlgItem(dlg, id);
    if (!button || !IsWindowEnabled(button)) {
        std::fprintf(stderr, "button %d missing or disabled\n", id);
        return 1;
    }
    SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return 0;
}

// A user's mouse click: the button takes the focus on the press and notifies the dialog
// on the release. Start and Stop disable themselves when they work, so the press waits
// for that (the dialog has then handled the click).
int Press(HWND dlg, int id, DWORD timeoutMs) {
    HWND button = GetDlgItem(dlg, id);
    if (!button || !IsWindowEnabled(button)) {
        std::fprintf(stderr, "button %d missing or disabled\n", id);
        return 1;
    }
    PostMessageA(button, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
    PostMessageA(button, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
    for (DWORD start = GetTickCount(); IsWindowEnabled(button); Sleep(50))
        if (GetTickCount() - start > timeoutMs) {
            std::fprintf(stderr, "button %d still enabled after the click\n", id);
            return 1;
        }
    return 0;
}

// Control id with the keyboard focus in the dialog's thread; 0 when none has it.
int FocusedId(HWND dlg) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dlg, nullptr), &info) || !info.hwndFocus) return 0;
    return GetParent(info.hwndFocus) == dlg ? GetDlgCtrlID(info.hwndFocus) : 0;
}

// Whether the closed field of a drop-down list shows its longest entry whole: the widest
// entry in the dialog's font against the field's text area (the box without its edges,
// the arrow button and the text margins). Prints "widest available" in pixels.
int Fits(HWND dlg, int id) {
    HWND combo = GetDlgItem(dlg, id);
    if (!combo) return 1;
    HDC screen = GetDC(nullptr);
    // The dialog's font as the dialog manager makes it from the template: MS Sans Serif 8.
    HFONT font = CreateFontA(-MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                             FALSE, DEFAULT_CHARSET, 0, 0, PROOF_QUALITY, FF_DONTCARE, "MS Sans Serif");
    HGDIOBJ old = SelectObject(screen, font);
    int widest = 0;
    int n = static_cast<int>(SendMessageA(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
        std::string t = ItemText(combo, i);
        SIZE size = {};
        GetTextExtentPoint32A(screen, t.c_str(), static_cast<int>(t.size()), &size);
        if (size.cx > widest) widest = size.cx;
    }
    SelectObject(screen, old);
    DeleteObject(font);
    ReleaseDC(nullptr, screen);
    RECT rc = {};
    GetClientRect(combo, &rc);
    const int available = rc.right - GetSystemMetrics(SM_CXVSCROLL) - 2 * GetSystemMetrics(SM_CXEDGE) - 4;
    std::printf("%d %d\n", widest, available);
    return n > 0 && widest <= available ? 0 : 1;
}

// Non-black pixels of a control as the screen shows it. Read from the screen, not from
// the control's own DC: the window belongs to another process, whose drawing Wine keeps
// in that process's surface.
long LitPixels(HWND ctl) {
    RECT rc;
    GetClientRect(ctl, &rc);
    POINT origin = {0, 0};
    ClientToScreen(ctl, &origin);
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = rc.right;
    bi.bmiHeader.biHeight = -rc.bottom;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, rc.right, rc.bottom, screen, origin.x, origin.y, SRCCOPY);
    GdiFlush();
    long lit = 0;
    const uint32_t* p = static_cast<const uint32_t*>(bits);
    // Green dominates a lit meter row; the dialog's grey background does not count.
    for (long i = 0; p && i < static_cast<long>(rc.right) * rc.bottom; ++i) {
        uint32_t c = p[i];
        int r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
        if (g > 100 && g > r + 30 && g > b + 30) ++lit;
    }
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return lit;
}

// Parses "Input: <a> ... Output:<b>" from the status text.
bool Rates(const std::string& s, double& in, double& out) {
    size_t a = s.find("Input: "), b = s.find("Output:");
    if (a == std::string::npos || b == std::string::npos) return false;
    in = std::atof(s.c_str() + a + 7);
    out = std::atof(s.c_str() + b + 7);
    return true;
}

BOOL CALLBACK CollectTitle(HWND h, LPARAM lp) {
    char cls[64] = {}, title[256] = {};
    GetClassNameA(h, cls, sizeof cls);
    GetWindowTextA(h, title, sizeof title);
    if (strcmp(cls, "#32770") == 0 && strstr(title, "Velorand") && IsWindowVisible(h))
        reinterpret_cast<std::string*>(lp)->append(title).append("\n");
    return TRUE;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: dialog_driver <command> <title> [args]\n"
                 "  find T ms | select T id text | click T id | text T id | enabled T id\n"
                 "  list T id | wait-text T id substring ms | rates T in out ms\n"
                 "  meters T | report T id ms | close T ms | escape T ms | titles\n"
                 "  press T id ms | focus T | fits T id | rect T\n"
                 "  msgbox caption ms | ini-set file section key value | analyze file rate | wave-ids\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string cmd = argv[1];
    if (cmd == "wave-ids") {
        // What another process sees of the wave capture devices: index, name and the
        // interface path the program keeps as the device's identifier.
        for (UINT i = 0; i < waveInGetNumDevs(); ++i) {
            WAVEINCAPSW caps{};
            waveInGetDevCapsW(i, &caps, sizeof caps);
            ULONG size = 0;
            std::wstring path;
            if (waveInMessage(reinterpret_cast<HWAVEIN>(static_cast<UINT_PTR>(i)), 2061,
                              reinterpret_cast<DWORD_PTR>(&size), 0) == MMSYSERR_NOERROR && size > 0 && size < 8192) {
                path.assign(size / sizeof(WCHAR) + 1, L'\0');
                waveInMessage(reinterpret_cast<HWAVEIN>(static_cast<UINT_PTR>(i)), 2060,
                              reinterpret_cast<DWORD_PTR>(path.data()), size);
            }
            std::printf("%u %ls %ls\n", i, caps.szPname, path.c_str());
        }
        return 0;
    }
    if (cmd == "titles") {
        std::string all;
        EnumWindows(CollectTitle, reinterpret_cast<LPARAM>(&all));
        std::fputs(all.c_str(), stdout);
        return 0;
    }
    if (argc < 3) return Usage();
    const char* title = argv[2];
    auto arg = [&](int i) { return i < argc ? argv[i] : ""; };
    auto num = [&](int i, long def) { return i < argc ? std::strtol(argv[i], nullptr, 0) : def; };

    if (cmd == "analyze") {
        // analyze file rate: a mono 16-bit raw recording; the first 0.5 s are skipped
        // (the bridge settling). Prints frequency, level, THD+N and discontinuities.
        std::vector<int16_t> raw;
        if (!ReadRaw16(title, &raw)) return 1;
        double rate = std::atof(arg(3));
        std::vector<float> x = Channel(raw, 1, 0);
        size_t skip = static_cast<size_t>(rate / 2);
        if (x.size() <= skip + 4800) return 1;
        ToneFit fit = FitTone(x.data() + skip, x.size() - skip, rate);
        auto gaps = FindDiscontinuities(x.data() + skip, x.size() - skip, rate, fit.frequency);
        std::printf("%.2f %.1f %.1f %zu\n", fit.frequency, fit.levelDb, fit.thdnDb, gaps.size());
        return fit.valid ? 0 : 1;
    }
    if (cmd == "ini-set") {
        // ini-set file section key value: prepares a settings file through the platform.
        return WritePrivateProfileStringA(arg(3), arg(4), arg(5), title) ? 0 : 1;
    }
    if (cmd == "msgbox") {
        // A message box: caption = title; print its text and press OK.
        HWND box = FindDialog(title, static_cast<DWORD>(num(3, 10000)));
        if (!box) return 1;
        std::string text;
        EnumChildWindows(
            box,
            [](HWND h, LPARAM lp) -> BOOL {
                char cls[32] = {};
                GetClassNameA(h, cls, sizeof cls);
                std::string t = Text(h);
                if (_stricmp(cls, "Static") == 0 && !t.empty())
                    reinterpret_cast<std::string*>(lp)->append(t).append("\n");
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&text));
        std::fputs(text.c_str(), stdout);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return 0;
    }

    DWORD findTimeout = cmd == "find" ? static_cast<DWORD>(num(3, 30000)) : 10000;
    HWND dlg = FindDialog(title, findTimeout);
    if (!dlg) {
        std::fprintf(stderr, "no dialog titled '%s'\n", title);
        return 1;
    }
    if (cmd == "find") {
        std::printf("%p\n", static_cast<void*>(dlg));
        return 0;
    }
    if (cmd == "select") return Select(dlg, static_cast<int>(num(3, 0)), arg(4));
    if (cmd == "click") return Click(dlg, static_cast<int>(num(3, 0)));
    if (cmd == "press") return Press(dlg, static_cast<int>(num(3, 0)), static_cast<DWORD>(num(4, 10000)));
    if (cmd == "focus") {
        std::printf("%d\n", FocusedId(dlg));
        return 0;
    }
    if (cmd == "fits") return Fits(dlg, static_cast<int>(num(3, 0)));
    if (cmd == "rect") {
        RECT rc = {};
        GetWindowRect(dlg, &rc);
        std::printf("%ld %ld %ld %ld\n", rc.left, rc.top, rc.right, rc.bottom);
        return 0;
    }
    if (cmd == "text") {
        std::fputs(Text(GetDlgItem(dlg, static_cast<int>(num(3, 0)))).c_str(), stdout);
        return 0;
    }
    if (cmd == "enabled") {
        std::printf("%d\n", IsWindowEnabled(GetDlgItem(dlg, static_cast<int>(num(3, 0)))) ? 1 : 0);
        return 0;
    }
    if (cmd == "list") {
        HWND combo = GetDlgItem(dlg, static_cast<int>(num(3, 0)));
        int n = static_cast<int>(SendMessageA(combo, CB_GETCOUNT, 0, 0));
        int sel = static_cast<int>(SendMessageA(combo, CB_GETCURSEL, 0, 0));
        for (int i = 0; i < n; ++i) std::printf("%s%s\n", i == sel ? "*" : " ", ItemText(combo, i).c_str());
        return 0;
    }
    if (cmd == "wait-text") {
        HWND ctl = GetDlgItem(dlg, static_cast<int>(num(3, 0)));
        DWORD start = GetTickCount(), timeout = static_cast<DWORD>(num(5, 10000));
        std::string t;
        do {
            t = Text(ctl);
            if (t.find(arg(4)) != std::string::npos) {
                std::fputs(t.c_str(), stdout);
                return 0;
            }
            Sleep(100);
        } while (GetTickCount() - start < timeout);
        std::fprintf(stderr, "text never contained '%s'; last: %s\n", arg(4), t.c_str());
        return 1;
    }
    if (cmd == "rates") {
        // Both measured rates within 1 % of nominal on every reading for 3 s in a row, so
        // that a passing glance at a settling figure does not count.
        double nomIn = std::atof(arg(3)), nomOut = std::atof(arg(4));
        DWORD start = GetTickCount(), timeout = static_cast<DWORD>(num(5, 30000));
        std::string t;
        int good = 0;
        do {
            t = Text(GetDlgItem(dlg, 1001));
            double in = 0, out = 0;
            if (Rates(t, in, out) && std::abs(in - nomIn) < 0.01 * nomIn && std::abs(out - nomOut) < 0.01 * nomOut) {
                if (++good >= 20) {
                    std::fputs(t.c_str(), stdout);
                    return 0;
                }
            } else {
                good = 0;
            }
            Sleep(150);
        } while (GetTickCount() - start < timeout);
        std::fprintf(stderr, "rates not within 1 %%; last status:\n%s\n", t.c_str());
        return 1;
    }
    if (cmd == "meters") {
        std::printf("%ld\n", LitPixels(GetDlgItem(dlg, 1014)));
        return 0;
    }
    if (cmd == "report") {
        if (Click(dlg, static_cast<int>(num(3, 0))) != 0) return 1;
        HWND rep = FindDialog("Report", static_cast<DWORD>(num(4, 10000)));
        if (!rep) return 1;
        std::fputs(Text(GetDlgItem(rep, 1014)).c_str(), stdout);
        return 0;
    }
    if (cmd == "copy") {
        // copy T: the Report window's Copy button; the clipboard must then hold exactly
        // the report's text.
        HWND rep = dlg;
        std::string shown = Text(GetDlgItem(rep, 1014));
        if (OpenClipboard(nullptr)) {
            EmptyClipboard();
            CloseClipboard();
        }
        SendMessageA(rep, WM_COMMAND, MAKEWPARAM(1015, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(rep, 1015)));
        std::string clip;
        for (int attempt = 0; attempt < 50 && clip.empty(); ++attempt) {
            Sleep(100);
            if (!OpenClipboard(nullptr)) continue;
            if (HANDLE h = GetClipboardData(CF_TEXT)) {
                if (const char* t = static_cast<const char*>(GlobalLock(h))) {
                    clip = t;
                    GlobalUnlock(h);
                }
            }
            CloseClipboard();
        }
        if (clip != shown || clip.empty()) {
            std::fprintf(stderr, "clipboard (%zu bytes) differs from the report (%zu bytes)\n", clip.size(), shown.size());
            return 1;
        }
        std::printf("%zu bytes copied\n", clip.size());
        return 0;
    }
    if (cmd == "close" || cmd == "escape") {
        if (cmd == "close") PostMessageA(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
        else PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        DWORD start = GetTickCount(), timeout = static_cast<DWORD>(num(3, 15000));
        while (IsWindow(dlg)) {
            if (GetTickCount() - start > timeout) return 1;
            Sleep(50);
        }
        return 0;
    }
    return Usage();
}
