// The program's BridgePort: one AudioPort seen by the controller, and the stream
// callback that hands the ports' blocks to the controller. Portable; the interfaces
// themselves come from the factory the program installs.
#pragma once

#include <atomic>

#include "app/BridgeController.h"
#include "app/BridgePort.h"
#include "audio/AudioPort.h"
#include "audio/DeviceList.h"

class AudioPortBridge : public BridgePort {
public:
    explicit AudioPortBridge(AudioPort& port) : port_(port) {}
    void Create(bool isInput, int type) override { port_.Create(isInput, type); }
    int FillDeviceList(ComboList& list, bool withDisableEntry, const std::string& saved) override;
    int GetSelectedDevice(const ComboList& list, std::string& id) override;
    int Open(const SideOpenRequest& request) override;
    std::string ErrorText() const override { return port_.GetErrorText(); }
    void Close() override { port_.Close(); }
    bool IsInput() const override { return port_.IsInput(); }
    std::string Name() const override { return port_.GetName(""); }
    SideOpenRequest Params() const override;
    bool HasDefaultDevice() const override;
    bool HasFailed() const override;
    std::string FailureText() const override;

private:
    AudioPort& port_;
};

// Forwards normal-mode blocks to the controller; raw and FIFO modes are not used.
// Device threads. The controller is attached once, before any port opens.
class ControllerStreamCallback : public AudioStreamCallback {
public:
    void Attach(BridgeController* controller) { controller_.store(controller, std::memory_order_release); }
    void OnRawInput(AudioPort*, void*, uint32_t) override {}
    void OnRawOutput(AudioPort*, void*, uint32_t) override {}
    void OnInputBlock(AudioPort*, int32_t* const* channels, int32_t frames) override {
        if (BridgeController* c = controller_.load(std::memory_order_acquire)) c->OnInputBlock(channels, frames);
    }
    void OnOutputBlock(AudioPort*, int32_t* const* channels, int32_t frames) override {
        if (BridgeController* c = controller_.load(std::memory_order_acquire)) c->OnOutputBlock(channels, frames);
    }
    void OnFifoBlock(AudioPort*) override {}

private:
    std::atomic<BridgeController*> controller_{nullptr};
};
