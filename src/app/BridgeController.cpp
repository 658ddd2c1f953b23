#include "app/BridgeController.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "app/Profile.h"
#include "app/ReportText.h"
#include "app/StartConfig.h"
#include "app/StatusText.h"
#include "app/resource.h"
#include "engine/LogPrintf.h"
#include "engine/MmClock.h"

namespace {

const int kConfigControls[] = {IDC_INPUT_BUFCOUNT,   IDC_OUTPUT_BUFCOUNT,  IDC_INPUT_BUFSIZE,
                               IDC_OUTPUT_BUFSIZE,   IDC_INPUT_SAMPLERATE, IDC_OUTPUT_SAMPLERATE,
                               IDC_CHANNELS,         IDC_INPUT_DEVICE,     IDC_OUTPUT_DEVICE,
                               IDC_INPUT_INTERFACE,  IDC_OUTPUT_INTERFACE, IDC_START};
const int kRunningControls[] = {IDC_STOP, IDC_INPUT_REPORT, IDC_OUTPUT_REPORT};

// The value lists and their keys, in the order the close writes them.
struct ValueKey {
    int controlId;
    const char* section;
    const char* key;
};
const ValueKey kValueKeys[] = {
    {IDC_INPUT_BUFCOUNT, "Input", "BufferCount"},   {IDC_INPUT_BUFSIZE, "Input", "BufferSize"},
    {IDC_INPUT_SAMPLERATE, "Input", "Samplerate"},  {IDC_OUTPUT_BUFCOUNT, "Output", "BufferCount"},
    {IDC_OUTPUT_BUFSIZE, "Output", "BufferSize"},   {IDC_OUTPUT_SAMPLERATE, "Output", "Samplerate"},
    {IDC_CHANNELS, "Common", "Channels"}};

// Names that stand for the default device or for none: a saved identifier like these is
// not a particular device that could be missing.
bool NamesNoParticularDevice(const std::string& id) {
    static const char* const names[] = {"", "Disable", "Disabled", "Off", "None", "(None)",
                                        "WAVE_MAPPER", "Default", "Default Device"};
    for (const char* n : names) {
        const std::string t = n;
        if (t.size() == id.size() &&
            std::equal(t.begin(), t.end(), id.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
            }))
            return true;
    }
    return false;
}

std::string NotPresentText(const std::string& id) {
    return "Device \"" + id + "\" is not present (waiting for it)";
}

const char* SideName(Side side) { return side == Side::Input ? "input" : "output"; }

}  // namespace

const BridgeController::SideIds& BridgeController::Ids(Side side) {
    static const SideIds in{IDC_INPUT_INTERFACE, IDC_INPUT_DEVICE,     IDC_INPUT_BUFCOUNT,
                            IDC_INPUT_BUFSIZE,   IDC_INPUT_SAMPLERATE, IDC_INPUT_REPORT,
                            "Input"};
    static const SideIds out{IDC_OUTPUT_INTERFACE, IDC_OUTPUT_DEVICE,     IDC_OUTPUT_BUFCOUNT,
                             IDC_OUTPUT_BUFSIZE,   IDC_OUTPUT_SAMPLERATE, IDC_OUTPUT_REPORT,
                             "Output"};
    return side == Side::Input ? in : out;
}

BridgeController::BridgeController(BridgeView& view, BridgePort& input, BridgePort& output,
                                   AsyncResampler& resampler, std::string settingsPath)
    : view_(view),
      input_(input),
      output_(output),
      resampler_(resampler),
      settingsPath_(std::move(settingsPath)),
      trackers_{LevelTracker(1, 5), LevelTracker(1, 5), LevelTracker(1, 5), LevelTracker(1, 5),
                LevelTracker(1, 5), LevelTracker(1, 5), LevelTracker(1, 5), LevelTracker(1, 5)} {}

BridgeController::~BridgeController() { Shutdown(); }

void BridgeController::FillLists() {
    FillValues(view_.List(IDC_INPUT_BUFSIZE), BufferSizeValues());
    FillValues(view_.List(IDC_OUTPUT_BUFSIZE), BufferSizeValues());
    FillValues(view_.List(IDC_INPUT_BUFCOUNT), BufferCountValues());
    FillValues(view_.List(IDC_OUTPUT_BUFCOUNT), BufferCountValues());
    FillValues(view_.List(IDC_INPUT_SAMPLERATE), SampleRateValues());
    FillValues(view_.List(IDC_OUTPUT_SAMPLERATE), SampleRateValues());
    FillValues(view_.List(IDC_CHANNELS), ChannelValues());
    std::vector<std::string> names(std::begin(kInterfaceShortNames), std::end(kInterfaceShortNames));
    FillTexts(view_.List(IDC_INPUT_INTERFACE), names);
    FillTexts(view_.List(IDC_OUTPUT_INTERFACE), names);
}

void BridgeController::LoadSettings() {
    const std::string& f = settingsPath_;
    SelectText(view_.List(IDC_INPUT_INTERFACE), ProfileReadString("Input", "Interface", "Wave", f));
    SelectText(view_.List(IDC_OUTPUT_INTERFACE), ProfileReadString("Output", "Interface", "Wave", f));
    SelectValue(view_.List(IDC_INPUT_BUFCOUNT), ProfileReadInt("Input", "BufferCount", 8, f));
    SelectValue(view_.List(IDC_OUTPUT_BUFCOUNT), ProfileReadInt("Output", "BufferCount", 8, f));
    SelectValue(view_.List(IDC_INPUT_BUFSIZE), ProfileReadInt("Input", "BufferSize", 512, f));
    SelectValue(view_.List(IDC_OUTPUT_BUFSIZE), ProfileReadInt("Output", "BufferSize", 512, f));
    SelectValue(view_.List(IDC_INPUT_SAMPLERATE), ProfileReadInt("Input", "Samplerate", 44100, f));
    SelectValue(view_.List(IDC_OUTPUT_SAMPLERATE), ProfileReadInt("Output", "Samplerate", 44100, f));
    SelectValue(view_.List(IDC_CHANNELS), ProfileReadInt("Common", "Channels", 2, f));
    running_ = ProfileReadInt("Common", "Started", 0, f) != 0;
}

void BridgeController::SaveSettings() {
    for (const ValueKey& v : kValueKeys)
        ProfileWriteInt(v.section, v.key, ListValue(view_.List(v.controlId)), settingsPath_);
    ProfileWriteInt("Common", "Started", running_ ? 1 : 0, settingsPath_);
}

void BridgeController::OnValueChanged(int controlId) {
    for (const ValueKey& v : kValueKeys)
        if (v.controlId == controlId)
            ProfileWriteInt(v.section, v.key, ListValue(view_.List(controlId)), settingsPath_);
}

bool BridgeController::AutoStartOrEnable() {
    if (!running_) {
        EnableControls(true);
        return false;
    }
    // The flag came from the settings file, not from a Start: it must not claim a
    // running bridge (the status timer would overwrite the error) when the start fails.
    running_ = false;
    if (Start()) return false;
    EnableControls(true);
    return true;
}

void BridgeController::OnInterfaceChanged(Side side) {
    const SideIds& ids = Ids(side);
    const std::string text = ListText(view_.List(ids.interfaceList));
    const int type = InterfaceTypeOf(text);
    if (type != 0) {
        BridgePort& port = Port(side);
        port.Create(side == Side::Input, type);
        std::string saved = ProfileReadString(ids.section, (text + "_device").c_str(), "WAVE_MAPPER",
                                              settingsPath_);
        port.FillDeviceList(view_.List(ids.deviceList), false, saved);
    }
    ProfileWriteString(ids.section, "Interface", text.c_str(), settingsPath_);
}

void BridgeController::OnDeviceChanged(Side side) {
    const SideIds& ids = Ids(side);
    const std::string key = ListText(view_.List(ids.interfaceList)) + "_device";
    std::string id;
    int r = Port(side).GetSelectedDevice(view_.List(ids.deviceList), id);
    // Without an interface there is nothing to remember; otherwise store what the port
    // gave ("Disable" included).
    if (r < 0) return;
    if (r == 0 && id.empty()) return;
    ProfileWriteString(ids.section, key.c_str(), id.c_str(), settingsPath_);
}

SideOpenRequest BridgeController::BuildRequest(Side side, int channels, bool& absent) {
    const SideIds& ids = Ids(side);
    SideOpenRequest r;  // defaults: "Default Device", empty name, zeros
    r.bufferCount = ListValue(view_.List(ids.bufferCount));
    r.bufferFrames = ListValue(view_.List(ids.bufferSize));
    r.sampleRate = ListValue(view_.List(ids.sampleRate));
    r.channels = channels;
    r.window = view_.Window();
    r.deviceName = ListText(view_.List(ids.deviceList));
    absent = false;
    std::string id;
    if (Port(side).GetSelectedDevice(view_.List(ids.deviceList), id) == 1) {
        r.deviceId = id;
        return r;
    }
    // No selection: the list was filled while the saved device was missing. Audio must
    // not go to the default device instead, so the saved identifier is what opens (it
    // may have come back since the list was filled) or what is waited for. A list
    // without a selection and nothing particular saved keeps "Default Device": the
    // interface opens its default device where it has one and reports its own error
    // where it has none.
    const std::string key = ListText(view_.List(ids.interfaceList)) + "_device";
    const std::string saved = ProfileReadString(ids.section, key.c_str(), "WAVE_MAPPER", settingsPath_);
    if (NamesNoParticularDevice(saved)) return r;
    r.deviceId = saved;
    absent = !Present(side, saved);
    return r;
}

bool BridgeController::Present(Side side, const std::string& id) {
    MemoryComboList scratch;  // a fresh enumeration, without touching the dialog's list
    Port(side).FillDeviceList(scratch, false, id);
    return scratch.Selection() >= 0;
}

void BridgeController::MarkDown(Side side, std::string reason, uint32_t now) {
    SideDown& d = Down(side);
    d.active = true;
    d.reason = std::move(reason);
    d.lastTryMs = now;
    LogPrintf("Bridge: %s side down: %s\n", SideName(side), d.reason.c_str());
}

bool BridgeController::TryReopen(Side side, uint32_t now) {
    SideDown& d = Down(side);
    BridgePort& port = Port(side);
    d.lastTryMs = now;
    port.Close();
    const std::string& id = d.request.deviceId;
    if (!NamesNoParticularDevice(id) && !Present(side, id)) {
        d.reason = NotPresentText(id);
        return false;
    }
    if (port.Open(d.request) != 0) {
        d.reason = port.ErrorText();
        LogPrintf("Bridge: reopening the %s side failed: %s\n", SideName(side), d.reason.c_str());
        return false;
    }
    d.active = false;
    d.reason.clear();
    // The side's clock starts anew: the rate meters, the ratio and the FIFO must not
    // carry the figures of the stream that died.
    resampler_.Init(lastConfig_);
    LogPrintf("Bridge: %s side running again\n", SideName(side));
    return true;
}

std::string BridgeController::DownText() const {
    std::string s;
    if (inDown_.active) s = InputErrorText(inDown_.reason);
    if (outDown_.active) s += (s.empty() ? "" : "\n") + OutputErrorText(outDown_.reason);
    return s;
}

bool BridgeController::Start() {
    const int channels = ListValue(view_.List(IDC_CHANNELS));
    streamChannels_.store(channels, std::memory_order_relaxed);
    bool inAbsent = false, outAbsent = false;
    SideOpenRequest in = BuildRequest(Side::Input, channels, inAbsent);
    SideOpenRequest out = BuildRequest(Side::Output, channels, outAbsent);

    const SideGeometry gin{in.bufferCount, in.bufferFrames, in.sampleRate};
    const SideGeometry gout{out.bufferCount, out.bufferFrames, out.sampleRate};
    ResamplerConfig c;
    c.quality = -1;
    c.trackingBase = 48000;
    c.fifoSamples = FifoSamplesFor(gin, gout);
    // Every selected channel is resampled, so channels 3 to 8 are bridged too.
    c.channels = channels;
    c.maxBlock = MaxBlockFor(gin, gout);
    c.trackLossTest = 1;
    c.variableRatio = 1;
    c.inputRate = in.sampleRate;
    c.outputRate = out.sampleRate;
    c.ratioBand = 0;
    c.maxTrackRatio = 1.08;
    c.muteUntilLocked = 0;
    // "RatioControl" = "Level" (any case) keeps the original level law, for comparison; no
    // entry or anything else is the delay-locked control.
    std::string law = ProfileReadString("Common", "RatioControl", "", settingsPath_);
    for (char& ch : law) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    c.ratioControl = law == "level" ? kRatioControlLevel : kRatioControlDelay;
    lastConfig_ = c;
    const bool configured = resampler_.Init(c);

    // A saved device that is missing does not fail the start: the bridge runs with that
    // side down and waits for the device (so an automatic start keeps "Started" set).
    // A device that is there but refuses to open is an error of the choice itself.
    inDown_ = SideDown{};
    outDown_ = SideDown{};
    inDown_.request = in;
    outDown_.request = out;
    const uint32_t now = MmTimeMs();
    if (inAbsent) {
        MarkDown(Side::Input, NotPresentText(in.deviceId), now);
    } else if (input_.Open(in) != 0) {
        SetStatusText(InputErrorText(input_.ErrorText()));
        inDown_ = outDown_ = SideDown{};
        return false;
    }
    if (outAbsent) {
        MarkDown(Side::Output, NotPresentText(out.deviceId), now);
    } else if (output_.Open(out) != 0) {
        SetStatusText(OutputErrorText(output_.ErrorText()));
        input_.Close();
        inDown_ = outDown_ = SideDown{};
        return false;
    }
    if (!configured) {
        // Only reachable with lists that have no selection; the ports accepted the
        // geometry but the resampler cannot carry it, so do not run silently.
        input_.Close();
        output_.Close();
        inDown_ = outDown_ = SideDown{};
        SetStatusText(InputErrorText("Invalid channel count or block size!"));
        return false;
    }
    running_ = true;
    EnableControls(false);
    if (inDown_.active || outDown_.active) SetStatusText(DownText());
    return true;
}

void BridgeController::Stop() {
    input_.Close();
    output_.Close();
    inDown_ = outDown_ = SideDown{};  // no more reopening
    running_ = false;
    EnableControls(true);
    SetStatusText("");
}

void BridgeController::Shutdown() {
    inDown_ = outDown_ = SideDown{};
    input_.Close();
    output_.Close();
}

void BridgeController::EnableControls(bool configurable) {
    // The controls that become usable first, so that a control about to be disabled
    // while it holds the focus (Start after its own click, a list after Enter) can hand
    // the focus over: to Stop when the bridge starts, to Start when it stops. A disabled
    // focused control would leave the dialog without keyboard focus.
    const auto set = [this](const auto& ids, bool enable) {
        for (int id : ids) view_.EnableControl(id, enable);
    };
    const auto focused = [this](const auto& ids) {
        for (int id : ids)
            if (view_.HasFocus(id)) return true;
        return false;
    };
    if (configurable) {
        set(kConfigControls, true);
        if (focused(kRunningControls)) view_.FocusControl(IDC_START);
        set(kRunningControls, false);
    } else {
        set(kRunningControls, true);
        if (focused(kConfigControls)) view_.FocusControl(IDC_STOP);
        set(kConfigControls, false);
    }
}

void BridgeController::SetStatusText(const std::string& text) {
    std::string shown = view_.ReadStatus();
    if (shown.size() > 255) shown.resize(255);
    if (shown == text) return;
    view_.WriteStatus(text);
}

void BridgeController::OnStatusTick() {
    if (!running_) return;
    const uint32_t now = MmTimeMs();
    for (Side side : {Side::Input, Side::Output}) {
        SideDown& d = Down(side);
        BridgePort& port = Port(side);
        if (!d.active && port.HasFailed()) {
            std::string why = port.FailureText();
            if (why.empty()) why = "Device stopped delivering audio";
            // Closed at once: the device's thread has stopped, and the other side keeps
            // running untouched (playing silence or dropping input meanwhile).
            port.Close();
            MarkDown(side, std::move(why), now);
        } else if (d.active && now - d.lastTryMs >= kRetryMs) {
            TryReopen(side, now);
        }
    }
    if (inDown_.active || outDown_.active) {
        SetStatusText(DownText());
        return;
    }
    StatusFigures f;
    f.inputRate = resampler_.InputRate();
    f.outputRate = resampler_.OutputRate();
    f.ratio = resampler_.CurrentRatio();
    f.overruns = resampler_.OverrunCount();
    f.underruns = resampler_.UnderrunCount();
    f.inputJitter = resampler_.InputJitter();
    f.outputJitter = resampler_.OutputJitter();
    f.srcDelay = resampler_.SrcDelay();
    SetStatusText(FormatStatusText(f));
}

void BridgeController::OnMeterTick(MeterPanel& panel) {
    for (int i = 0; i < kTrackers; ++i) {
        LevelTracker& t = trackers_[static_cast<size_t>(i)];
        int32_t peak = t.Hold(t.TakePeak());
        if (i < panel.BarCount()) panel.Bar(i).value = BarValueForPeak(peak);
    }
}

std::string BridgeController::ReportText(Side side) {
    BridgePort& port = Port(side);
    static BlockTimingHistory history;  // window thread only; 2 KiB kept off the stack
    resampler_.CopyBlockHistory(side == Side::Output, &history);
    std::vector<ReportBlock> blocks(BlockTimingHistory::kEntries);
    for (int i = 0; i < BlockTimingHistory::kEntries; ++i)
        blocks[static_cast<size_t>(i)] = {history.entries[i].timeMs, history.entries[i].blockFrames};
    SideOpenRequest p = port.Params();
    ReportInput in;
    in.isInput = port.IsInput();
    in.deviceName = p.deviceName;
    in.deviceId = p.deviceId;
    in.interfaceName = port.Name();
    in.sampleRate = p.sampleRate;
    in.bufferCount = p.bufferCount;
    in.bufferFrames = p.bufferFrames;
    in.blocks = blocks.data();
    in.modulus = std::clamp(history.modulus, 0, BlockTimingHistory::kEntries);
    in.next = history.next;
    return FormatReport(in);
}

void BridgeController::OnInputBlock(const int32_t* const* channels, int32_t frames) {
    resampler_.PushInput(channels, frames);
    const int n = std::min(streamChannels_.load(std::memory_order_relaxed), kTrackers);
    for (int c = 0; c < n; ++c) trackers_[static_cast<size_t>(c)].Feed(channels[c], frames, 1);
}

void BridgeController::OnOutputBlock(int32_t* const* channels, int32_t frames) {
    resampler_.PullOutput(channels, frames);
    ClampBlock(channels, streamChannels_.load(std::memory_order_relaxed), frames);
}

void ClampBlock(int32_t* const* channels, int count, int32_t frames) {
    for (int c = 0; c < count; ++c) {
        int32_t* s = channels[c];
        for (int32_t i = 0; i < frames; ++i) s[i] = std::clamp<int32_t>(s[i], -32768, 32767);
    }
}
