// The interfaces this program can make, by type id. DirectSound, Kernel Streaming and
// WASAPI join when their libraries are part of the build.
#include "app/MainDialog_win32.h"

#include "audio/AudioPort.h"
#if VELORAND_HAVE_WAVE
#include "audio/wave/WaveAudioInterface.h"
#endif
#if VELORAND_HAVE_DS
#include "audio/ds/DsAudioInterface.h"
#endif
#if VELORAND_HAVE_KS
#include "audio/ks/KsAudioInterface.h"
#endif
#if VELORAND_HAVE_WASAPI
#include "audio/wasapi/WasapiAudioInterface.h"
#endif
#if VELORAND_HAVE_KS && VELORAND_KS_SIMULATION
#include "KernelStreaming/KsSimDriver.h"
#endif

namespace {

CAudioInterface* MakeInterface(bool isInput, int32_t type) {
    switch (type) {
#if VELORAND_HAVE_WAVE
    case 1:
        return new CWaveAudioInterface(isInput);
#endif
#if VELORAND_HAVE_DS
    case 2:
        return new CDsAudioInterface(isInput);
#endif
#if VELORAND_HAVE_KS
    case 3:
        return new CKsAudioInterface(isInput);
#endif
#if VELORAND_HAVE_WASAPI
    case kAudioTypeWasapi:
    case kAudioTypeWasapiExclusive:
        return CreateWasapiAudioInterface(isInput, type);
#endif
    default:
        (void)isInput;
        return nullptr;
    }
}

}  // namespace

void InstallInterfaceFactory() {
#if VELORAND_HAVE_KS && VELORAND_KS_SIMULATION
    // Before the first interface exists, so that every KS list sees the same driver.
    KsSimInstallFromEnvironment();
#endif
    AudioPort::SetInterfaceFactory(&MakeInterface);
}
