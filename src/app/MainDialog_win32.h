// The main window: a thin Win32 layer over BridgeController. It owns the two ports, the
// resampler, the meter panel with its off-screen bitmap, the report window and the
// instance lock; it forwards messages to the controller and draws.
// Window thread only (the ports' streaming threads reach the controller directly).
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "app/AudioPortBridge.h"
#include "app/BridgeController.h"
#include "app/ComboBox_win32.h"
#include "app/LevelMeter.h"
#include "app/Platform_win32.h"
#include "audio/AudioPort.h"
#include "engine/AsyncResampler.h"

class ReportDialog {
public:
    ReportDialog() = default;
    ~ReportDialog();
    // Creates the modeless window on first use, then shows it with the text.
    void Show(HWND owner, const std::string& text);
    HWND Handle() const { return hwnd_; }

private:
    static INT_PTR CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    void OnCopy();
    HWND hwnd_ = nullptr;
};

class MainDialog {
public:
    MainDialog();
    ~MainDialog();
    MainDialog(const MainDialog&) = delete;
    MainDialog& operator=(const MainDialog&) = delete;

    INT_PTR RunModal(HINSTANCE instance);

private:
    static INT_PTR CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    INT_PTR Handle(UINT msg, WPARAM wp, LPARAM lp);
    BOOL OnInitDialog();
    bool OnSysCommand(WPARAM command);
    void OnCommand(int id, int code);
    void OnMeterTimer();
    void BlitMeters(HDC dc);
    void PaintIconic();
    void ShowReport(Side side);
    void Teardown();

    HWND hwnd_ = nullptr;
    // Members in the order the window builds them; the controller, declared last, goes
    // first and closes the ports before the resampler and the trackers disappear.
    AudioPort inputPort_;
    AudioPort outputPort_;
    NamedMutexHolder instanceLock_;
    AsyncResampler resampler_;
    MeterPanel meters_;
    CBitmapDC bitmap_;
    ReportDialog report_;
    HICON icon_ = nullptr;
    AudioPortBridge inputBridge_{inputPort_};
    AudioPortBridge outputBridge_{outputPort_};
    ControllerStreamCallback callback_;
    std::string settingsPath_;
    std::unique_ptr<DialogBridgeView> view_;
    std::unique_ptr<BridgeController> controller_;
};

// The window-position operations on the process-wide settings path.
void SetProcessSettingsPath(const std::string& path);
void RestoreWindowPosition(HWND window, const char* name);
void SaveWindowPosition(HWND window, const char* name);

// Installs the program's interface factory (Wave, and DirectSound and Kernel Streaming
// where built).
void InstallInterfaceFactory();
