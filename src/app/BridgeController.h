// The main window's decisions, free of Win32: filling and reading the lists, the
// settings file, the choice of interface and device, Start and Stop, the enabling of
// controls, the status line, the meters' values and the timing report. The Win32
// dialog (MainDialog_win32.cpp) forwards its messages here and draws.
//
// Threads: everything on the window thread except OnInputBlock and OnOutputBlock, which
// the two ports call on their streaming threads (real-time: no allocation, no lock of
// the controller, no window access).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "app/BridgePort.h"
#include "app/LevelMeter.h"
#include "app/ValueLists.h"
#include "engine/AsyncResampler.h"

// The controls the controller reads and writes.
class BridgeView {
public:
    virtual ~BridgeView() = default;
    virtual ComboList& List(int controlId) = 0;
    virtual void EnableControl(int controlId, bool enable) = 0;
    // Whether the control holds the keyboard focus, and giving it the focus (as the
    // dialog's own focus moves do, so a push button becomes the default button).
    virtual bool HasFocus(int controlId) = 0;
    virtual void FocusControl(int controlId) = 0;
    // The status control's current text (up to 255 characters) and a write of it.
    virtual std::string ReadStatus() = 0;
    virtual void WriteStatus(const std::string& text) = 0;
    virtual intptr_t Window() = 0;
};

enum class Side { Input, Output };

// Limits count channel buffers of frames samples to the 16-bit range (device thread).
void ClampBlock(int32_t* const* channels, int count, int32_t frames);

class BridgeController {
public:
    static constexpr int kTrackers = 8;

    // The ports and the resampler outlive the controller's use of them; Shutdown (or
    // the destructor) closes the ports before anything their callbacks use goes away.
    BridgeController(BridgeView& view, BridgePort& input, BridgePort& output,
                     AsyncResampler& resampler, std::string settingsPath);
    ~BridgeController();

    // Initialisation in the dialog's order: lists, settings, interfaces; then either the
    // automatic start or the controls enabled. Returns whether an automatic start ran
    // and failed (the error then stays in the status line, the controls usable).
    void FillLists();
    void LoadSettings();
    void SaveSettings();
    bool AutoStartOrEnable();

    void OnInterfaceChanged(Side side);
    void OnDeviceChanged(Side side);
    // A choice in a value list (buffer count, buffer size or sample rate of a side, or
    // the channels) is written to its key at once, as the device choice is, so a crash,
    // a log-off or a shutdown loses none of it. Other controls are ignored.
    void OnValueChanged(int controlId);
    bool Start();
    void Stop();
    // Closes both ports without touching the controls: teardown on any path (Escape,
    // window destruction) before the resampler and the trackers are released.
    void Shutdown();
    void EnableControls(bool configurable);
    void SetStatusText(const std::string& text);

    // Timer 73: the status line while running, and the watch over both sides: a side
    // whose stream failed is closed, named in the status line and reopened every
    // kRetryMs from the identifier it was opened with, until it runs again or Stop.
    void OnStatusTick();
    static constexpr uint32_t kRetryMs = 1000;
    // Whether a side is down and being brought back (or waited for).
    bool Recovering(Side side) const { return Down(side).active; }
    // Timer 74: bar values for the meter panel (bars beyond the panel are ignored).
    void OnMeterTick(MeterPanel& panel);
    // The timing report of one side.
    std::string ReportText(Side side);

    // Stream callbacks (device threads).
    void OnInputBlock(const int32_t* const* channels, int32_t frames);
    void OnOutputBlock(int32_t* const* channels, int32_t frames);

    bool Running() const { return running_; }
    void SetRunning(bool r) { running_ = r; }
    int StreamChannels() const { return streamChannels_.load(std::memory_order_relaxed); }
    const std::string& SettingsPath() const { return settingsPath_; }
    LevelTracker& Tracker(int i) { return trackers_[static_cast<size_t>(i)]; }
    // The configuration the last Start gave the resampler.
    const ResamplerConfig& LastConfig() const { return lastConfig_; }

private:
    // A side that is down while the bridge runs: why, and what to reopen.
    struct SideDown {
        bool active = false;
        std::string reason;       // shown after "Input Error:\n" or "Output Error:\n"
        SideOpenRequest request;  // the open record, with the saved device identifier
        uint32_t lastTryMs = 0;
    };
    struct SideIds {
        int interfaceList, deviceList, bufferCount, bufferSize, sampleRate, report;
        const char* section;
    };
    static const SideIds& Ids(Side side);
    BridgePort& Port(Side side) { return side == Side::Input ? input_ : output_; }
    // The open record of a side; `absent` when the saved device is not in the list
    // (its identifier is then in the record, so it is waited for, not replaced).
    SideOpenRequest BuildRequest(Side side, int channels, bool& absent);
    SideDown& Down(Side side) { return side == Side::Input ? inDown_ : outDown_; }
    const SideDown& Down(Side side) const { return side == Side::Input ? inDown_ : outDown_; }
    void MarkDown(Side side, std::string reason, uint32_t now);
    // Whether a fresh enumeration of the side's interface lists the identifier.
    bool Present(Side side, const std::string& id);
    // Enumerates afresh and opens the side when its device is there; true when it runs.
    bool TryReopen(Side side, uint32_t now);
    std::string DownText() const;

    BridgeView& view_;
    BridgePort& input_;
    BridgePort& output_;
    AsyncResampler& resampler_;
    std::string settingsPath_;
    bool running_ = false;
    std::atomic<int> streamChannels_{0};
    std::array<LevelTracker, kTrackers> trackers_;
    ResamplerConfig lastConfig_;
    SideDown inDown_, outDown_;
};
