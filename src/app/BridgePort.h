// What the bridge controller needs of one audio side. The program implements it over
// AudioPort (AudioPortBridge.h); the controller's tests implement it with a fake, so
// every decision of Start, Stop and the interface and device choice is tested natively.
// Window thread only.
#pragma once

#include <cstdint>
#include <string>

#include "app/ValueLists.h"

// The fields of the open record that the dialog fills; everything else stays at the
// record's defaults.
struct SideOpenRequest {
    std::string deviceId = "Default Device";
    std::string deviceName;
    int sampleRate = 0;
    int channels = 0;
    int bufferFrames = 0;
    int bufferCount = 0;
    intptr_t window = 0;
};

class BridgePort {
public:
    virtual ~BridgePort() = default;
    // Releases the current interface and creates one of the type (1 Wave, 2 DS, 3 KS,
    // 4 WASAPI shared, 5 WASAPI exclusive).
    virtual void Create(bool isInput, int type) = 0;
    virtual int FillDeviceList(ComboList& list, bool withDisableEntry, const std::string& saved) = 0;
    // 1 and the identifier when a device is selected; 0 or -1 otherwise (id may then
    // hold "Disable").
    virtual int GetSelectedDevice(const ComboList& list, std::string& id) = 0;
    virtual int Open(const SideOpenRequest& request) = 0;
    virtual std::string ErrorText() const = 0;
    virtual void Close() = 0;
    virtual bool IsInput() const = 0;
    virtual std::string Name() const = 0;  // "WaveRec", "KSPlay", "MustCreateFirst"
    virtual SideOpenRequest Params() const = 0;  // of the last Open, zero after Close
    virtual bool HasDefaultDevice() const = 0;
    // True once the open side's stream stopped on a device error or a stall; the reason
    // is then in FailureText. False while closed.
    virtual bool HasFailed() const = 0;
    virtual std::string FailureText() const = 0;
};

// Interface types as the lists name them, in type order (ids 1 to 5; WASAPI's shared and
// exclusive modes are one interface, told apart by the id the list gives).
inline const char* const kInterfaceShortNames[5] = {"Wave", "DS", "KS", "WASAPI", "WASAPI Excl"};
// Exact, case-sensitive lookup; 0 when nothing matches.
inline int InterfaceTypeOf(const std::string& shortName) {
    for (int i = 0; i < 5; ++i)
        if (shortName == kInterfaceShortNames[i]) return i + 1;
    return 0;
}
