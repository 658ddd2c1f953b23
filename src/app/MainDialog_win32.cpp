#include "app/MainDialog_win32.h"

#include <cstdio>

#include "app/AppNames.h"
#include "app/Profile.h"
#include "app/WindowPlacement.h"
#include "app/resource.h"

namespace {

std::string g_settingsPath;

INT_PTR CALLBACK AboutProc(HWND dlg, UINT msg, WPARAM wp, LPARAM) {
    switch (msg) {
    case WM_INITDIALOG: {
        char text[64];
        std::snprintf(text, sizeof text, "Velorand Version %s", kVersionText);
        SetDlgItemTextA(dlg, IDC_ABOUT_VERSION, text);
        SetDlgItemTextA(dlg, IDC_ABOUT_NOTICE,
                        "Copyright (C) Hallvik. Audio bridge with asynchronous resampling.");
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) {
            EndDialog(dlg, LOWORD(wp));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

}  // namespace

void SetProcessSettingsPath(const std::string& path) { g_settingsPath = path; }

void RestoreWindowPosition(HWND window, const char* name) {
    RECT rc;
    if (!IsWindow(window) || !GetWindowRect(window, &rc)) return;
    const int top = ProfileReadInt(name, "wndrect_top", rc.top, g_settingsPath);
    const int left = ProfileReadInt(name, "wndrect_left", rc.left, g_settingsPath);
    // The saved place may lie on a monitor that is gone or was moved (undocked laptop,
    // changed layout, remote session): the window comes back onto the work area of the
    // monitor nearest to that place rather than opening where no one can see it.
    ScreenRect place{left, top, left + (rc.right - rc.left), top + (rc.bottom - rc.top)};
    const RECT saved = {place.left, place.top, place.right, place.bottom};
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    if (HMONITOR m = MonitorFromRect(&saved, MONITOR_DEFAULTTONEAREST); m && GetMonitorInfoA(m, &monitor)) {
        const RECT& w = monitor.rcWork;
        place = KeepOnWorkArea(place, {w.left, w.top, w.right, w.bottom});
    }
    SetWindowPos(window, nullptr, place.left, place.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SaveWindowPosition(HWND window, const char* name) {
    RECT rc;
    if (!IsWindow(window) || !GetWindowRect(window, &rc)) return;
    if (rc.left == -32000 && rc.top == -32000) return;  // minimised: keep the stored place
    ProfileWriteInt(name, "wndrect_top", rc.top, g_settingsPath);
    ProfileWriteInt(name, "wndrect_left", rc.left, g_settingsPath);
}

// ---- ReportDialog -----------------------------------------------------------------

ReportDialog::~ReportDialog() {
    if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
}

void ReportDialog::Show(HWND owner, const std::string& text) {
    if (hwnd_ && IsWindow(hwnd_)) {
        ShowWindow(hwnd_, SW_SHOWNORMAL);
        SetForegroundWindow(hwnd_);
    } else {
        hwnd_ = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_REPORT), owner, Proc,
                                   reinterpret_cast<LPARAM>(this));
        if (!hwnd_) return;
        ShowWindow(hwnd_, SW_SHOWNORMAL);
    }
    SetDlgItemTextA(hwnd_, IDC_REPORT_TEXT, text.c_str());
}

void ReportDialog::OnCopy() {
    HWND edit = GetDlgItem(hwnd_, IDC_REPORT_TEXT);
    SendMessageA(edit, EM_SETSEL, 0, -1);
    SendMessageA(edit, WM_COPY, 0, 0);
    SendMessageA(edit, EM_SETSEL, static_cast<WPARAM>(-1), 0);
}

INT_PTR CALLBACK ReportDialog::Proc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    auto* self = reinterpret_cast<ReportDialog*>(GetWindowLongPtrA(dlg, DWLP_USER));
    switch (msg) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(dlg, DWLP_USER, lp);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wp) == IDC_REPORT_COPY && self) {
            self->OnCopy();
            return TRUE;
        }
        if (LOWORD(wp) == IDCANCEL || LOWORD(wp) == IDOK) {
            ShowWindow(dlg, SW_HIDE);
            return TRUE;
        }
        break;
    case WM_CLOSE:
        ShowWindow(dlg, SW_HIDE);  // closing only hides; the text stays until replaced
        return TRUE;
    }
    return FALSE;
}

// ---- MainDialog -------------------------------------------------------------------

MainDialog::MainDialog() {
    icon_ = static_cast<HICON>(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME),
                                          IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
}

MainDialog::~MainDialog() { Teardown(); }

void MainDialog::Teardown() {
    // Whatever way the dialog ends (Close, Escape, destruction), the streaming threads
    // stop before the resampler and the level trackers they use are released.
    if (controller_) controller_->Shutdown();
    inputPort_.Close();
    outputPort_.Close();
}

INT_PTR MainDialog::RunModal(HINSTANCE instance) {
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_VELORAND_DIALOG), nullptr, Proc,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK MainDialog::Proc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        SetWindowLongPtrA(dlg, DWLP_USER, lp);
        auto* self = reinterpret_cast<MainDialog*>(lp);
        self->hwnd_ = dlg;
        return self->OnInitDialog();
    }
    auto* self = reinterpret_cast<MainDialog*>(GetWindowLongPtrA(dlg, DWLP_USER));
    return self ? self->Handle(msg, wp, lp) : FALSE;
}

BOOL MainDialog::OnInitDialog() {
    // System menu: the About item, last, after a separator.
    char about[128] = {};
    LoadStringA(GetModuleHandleA(nullptr), IDS_ABOUTBOX, about, sizeof about);
    if (HMENU sys = GetSystemMenu(hwnd_, FALSE); sys && about[0]) {
        AppendMenuA(sys, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(sys, MF_STRING, IDM_ABOUTBOX, about);
    }
    SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

    const std::string exe = ExecutablePath();
    const int instance = ClaimInstanceNumber(exe, instanceLock_);
    if (instance == 0) {
        MessageBoxA(hwnd_, "Too many instances", "Velorand", MB_OK);
        ExitProcess(0);
    }
    if (instance > 1) {
        char title[256] = {};
        GetWindowTextA(hwnd_, title, sizeof title);
        SetWindowTextA(hwnd_, InstanceTitle(title, instance).c_str());
    }
    settingsPath_ = SettingsPathFor(exe, instance);
    SetProcessSettingsPath(settingsPath_);
    RestoreWindowPosition(hwnd_, "MainWindow");

    view_ = std::make_unique<DialogBridgeView>(hwnd_);
    controller_ = std::make_unique<BridgeController>(*view_, inputBridge_, outputBridge_, resampler_,
                                                     settingsPath_);
    controller_->FillLists();
    callback_.Attach(controller_.get());
    inputPort_.SetCallback(&callback_);
    outputPort_.SetCallback(&callback_);
    controller_->LoadSettings();
    controller_->OnInterfaceChanged(Side::Input);
    controller_->OnInterfaceChanged(Side::Output);
    for (int id : kListControls) FitDroppedWidth(GetDlgItem(hwnd_, id));

    ConfigureMainMeters(meters_);
    RECT rc = {};
    GetClientRect(GetDlgItem(hwnd_, IDC_METERS), &rc);
    bitmap_.Create(meters_.BitmapWidth(), meters_.BitmapHeight(), 32);
    meters_.Layout(rc.right - rc.left, rc.bottom - rc.top);

    controller_->AutoStartOrEnable();
    SetTimer(hwnd_, ID_TIMER_STATUS, 100, nullptr);
    SetTimer(hwnd_, ID_TIMER_METERS, 20, nullptr);
    return TRUE;
}

bool MainDialog::OnSysCommand(WPARAM command) {
    if ((command & 0xFFF0) == IDM_ABOUTBOX) {
        DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUTBOX), hwnd_, AboutProc, 0);
        return true;
    }
    if (command == SC_CLOSE && controller_) {
        // "Started" is written before Stop, so a window closed while running starts
        // again at the next launch.
        controller_->SaveSettings();
        SaveWindowPosition(hwnd_, "MainWindow");
        controller_->Stop();
    }
    return false;  // default processing (the close itself)
}

void MainDialog::OnCommand(int id, int code) {
    if (!controller_) return;
    switch (id) {
    case IDC_START:
        if (code == BN_CLICKED) controller_->Start();
        break;
    case IDC_STOP:
        if (code == BN_CLICKED) controller_->Stop();
        break;
    case IDC_INPUT_REPORT:
        if (code == BN_CLICKED) ShowReport(Side::Input);
        break;
    case IDC_OUTPUT_REPORT:
        if (code == BN_CLICKED) ShowReport(Side::Output);
        break;
    case IDC_INPUT_INTERFACE:
    case IDC_OUTPUT_INTERFACE:
        if (code == CBN_SELCHANGE) {
            controller_->OnInterfaceChanged(id == IDC_INPUT_INTERFACE ? Side::Input : Side::Output);
            // The device list was refilled with another interface's names.
            FitDroppedWidth(GetDlgItem(hwnd_, id == IDC_INPUT_INTERFACE ? IDC_INPUT_DEVICE : IDC_OUTPUT_DEVICE));
        }
        break;
    case IDC_INPUT_BUFCOUNT:
    case IDC_INPUT_BUFSIZE:
    case IDC_INPUT_SAMPLERATE:
    case IDC_OUTPUT_BUFCOUNT:
    case IDC_OUTPUT_BUFSIZE:
    case IDC_OUTPUT_SAMPLERATE:
    case IDC_CHANNELS:
        if (code == CBN_SELCHANGE) controller_->OnValueChanged(id);
        break;
    case IDC_INPUT_DEVICE:
        if (code == CBN_SELCHANGE) controller_->OnDeviceChanged(Side::Input);
        break;
    case IDC_OUTPUT_DEVICE:
        if (code == CBN_SELCHANGE) controller_->OnDeviceChanged(Side::Output);
        break;
    case IDCANCEL:
        // Escape ends the dialog without the Close path: no settings are written, but
        // the ports are closed before anything else goes away.
        Teardown();
        EndDialog(hwnd_, IDCANCEL);
        break;
    default:
        break;
    }
}

void MainDialog::ShowReport(Side side) {
    report_.Show(hwnd_, controller_->ReportText(side));
}

void MainDialog::OnMeterTimer() {
    controller_->OnMeterTick(meters_);
    if (!bitmap_.Pixels() || IsIconic(hwnd_)) return;
    HWND ctl = GetDlgItem(hwnd_, IDC_METERS);
    meters_.DrawBars(bitmap_.Pixels(), bitmap_.Width());
    if (HDC dc = GetDC(ctl)) {
        BlitMeters(dc);
        ReleaseDC(ctl, dc);
    }
}

void MainDialog::BlitMeters(HDC dc) {
    if (bitmap_.Dc()) BitBlt(dc, 0, 0, meters_.Width(), meters_.Height(), bitmap_.Dc(), 0, 0, SRCCOPY);
}

void MainDialog::PaintIconic() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd_, &ps);
    SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    int cx = GetSystemMetrics(SM_CXICON), cy = GetSystemMetrics(SM_CYICON);
    RECT rc;
    GetClientRect(hwnd_, &rc);
    DrawIcon(dc, (rc.right - rc.left - cx + 1) / 2, (rc.bottom - rc.top - cy + 1) / 2, icon_);
    EndPaint(hwnd_, &ps);
}

INT_PTR MainDialog::Handle(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_SYSCOMMAND:
        if (OnSysCommand(wp)) {
            SetWindowLongPtrA(hwnd_, DWLP_MSGRESULT, 0);
            return TRUE;
        }
        return FALSE;
    case WM_COMMAND:
        OnCommand(LOWORD(wp), HIWORD(wp));
        return TRUE;
    case WM_TIMER:
        if (!controller_) return FALSE;
        if (wp == ID_TIMER_STATUS) controller_->OnStatusTick();
        else if (wp == ID_TIMER_METERS) OnMeterTimer();
        return FALSE;  // then the default processing
    case WM_DRAWITEM: {
        // The meter control is owner-drawn: every paint of it (uncovered, restored) shows
        // the bars as the last tick drew them, never the static's own caption and grey.
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
        if (wp != IDC_METERS || !item) return FALSE;
        BlitMeters(item->hDC);
        SetWindowLongPtrA(hwnd_, DWLP_MSGRESULT, TRUE);
        return TRUE;
    }
    case WM_PAINT:
        if (IsIconic(hwnd_)) {
            PaintIconic();
            return TRUE;
        }
        return FALSE;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(icon_);
    case WM_DESTROY:
        KillTimer(hwnd_, ID_TIMER_STATUS);
        KillTimer(hwnd_, ID_TIMER_METERS);
        Teardown();
        return FALSE;
    }
    return FALSE;
}
