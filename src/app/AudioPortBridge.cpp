#include "app/AudioPortBridge.h"

int AudioPortBridge::FillDeviceList(ComboList& list, bool withDisableEntry, const std::string& saved) {
    return port_.FillDeviceList(&list, withDisableEntry, saved.c_str());
}

int AudioPortBridge::GetSelectedDevice(const ComboList& list, std::string& id) {
    char buffer[AudioPort::kErrorTextSize] = {};
    int r = port_.GetSelectedDevice(&list, buffer, sizeof buffer);
    id = buffer;
    return r;
}

int AudioPortBridge::Open(const SideOpenRequest& request) {
    AudioOpenParams p;  // the record's defaults; the dialog fills only these fields
    p.deviceId = request.deviceId;
    p.deviceName = request.deviceName;
    p.sampleRate = request.sampleRate;
    p.channels = request.channels;
    p.bufferFrames = request.bufferFrames;
    p.bufferCount = request.bufferCount;
    p.window = reinterpret_cast<void*>(request.window);
    return port_.Open(p);
}

SideOpenRequest AudioPortBridge::Params() const {
    const AudioOpenParams& p = port_.GetParams();
    SideOpenRequest r;
    r.deviceId = p.deviceId;
    r.deviceName = p.deviceName;
    r.sampleRate = p.sampleRate;
    r.channels = p.channels;
    r.bufferFrames = p.bufferFrames;
    r.bufferCount = p.bufferCount;
    r.window = reinterpret_cast<intptr_t>(p.window);
    return r;
}

bool AudioPortBridge::HasDefaultDevice() const {
    CAudioInterface* iface = port_.GetInterface();
    return iface && iface->HasDefaultDevice();
}

bool AudioPortBridge::HasFailed() const {
    CAudioInterface* iface = port_.GetInterface();
    return iface && iface->HasFailed();
}

std::string AudioPortBridge::FailureText() const {
    CAudioInterface* iface = port_.GetInterface();
    return iface ? iface->ErrorText() : std::string();
}
