// The real-time (WaveRT) property set: the records a client exchanges with a pin that
// streams through one cyclic buffer shared with the hardware instead of stream requests.
//
// MinGW-w64's ksmedia.h carries only the set's GUID (KSPROPSETID_RtAudio) and the first id
// of its enumeration; the ids and records below follow the documented Windows SDK layout.
// The driver reads them with its own 64-bit layout, so their x64 sizes are pinned here:
// a record that disagreed would be refused by every real WaveRT driver.
#pragma once

#include "KernelStreaming/KsSystem.h"

#include <cstdint>

// Ids of KSPROPSETID_RtAudio (0 is KSPROPERTY_RTAUDIO_GETPOSITIONFUNCTION in ksmedia.h).
enum KsRtAudioProperty : ULONG {
  kKsRtAudioBuffer = 1,                     // KSPROPERTY_RTAUDIO_BUFFER
  kKsRtAudioHwLatency = 2,                  // KSPROPERTY_RTAUDIO_HWLATENCY
  kKsRtAudioPositionRegister = 3,           // KSPROPERTY_RTAUDIO_POSITIONREGISTER
  kKsRtAudioClockRegister = 4,              // KSPROPERTY_RTAUDIO_CLOCKREGISTER
  kKsRtAudioBufferWithNotification = 5,     // KSPROPERTY_RTAUDIO_BUFFER_WITH_NOTIFICATION
  kKsRtAudioRegisterNotificationEvent = 6,  // KSPROPERTY_RTAUDIO_REGISTER_NOTIFICATION_EVENT
  kKsRtAudioUnregisterNotificationEvent = 7 // KSPROPERTY_RTAUDIO_UNREGISTER_NOTIFICATION_EVENT
};

// KSRTAUDIO_BUFFER_PROPERTY: the request for a cyclic buffer of a size.
struct KsRtAudioBufferProperty {
  KSPROPERTY Property;
  PVOID BaseAddress;  // null: the driver chooses
  ULONG RequestedBufferSize;
};
// KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION: the same with notifications per pass.
struct KsRtAudioBufferPropertyWithNotification {
  KSPROPERTY Property;
  PVOID BaseAddress;
  ULONG RequestedBufferSize;
  ULONG NotificationCount;
};
// KSRTAUDIO_BUFFER: the driver's answer, the buffer mapped into this process.
struct KsRtAudioBuffer {
  PVOID BufferAddress;
  ULONG ActualBufferSize;
  BOOL CallMemoryBarrier;
};
// KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY: (un)registers an event the driver sets.
struct KsRtAudioNotificationEventProperty {
  KSPROPERTY Property;
  HANDLE NotificationEvent;
};

#ifdef _WIN64
static_assert(sizeof(KSPROPERTY) == 24, "x64 KSPROPERTY");
static_assert(sizeof(KsRtAudioBufferProperty) == 40, "x64 KSRTAUDIO_BUFFER_PROPERTY");
static_assert(sizeof(KsRtAudioBufferPropertyWithNotification) == 40,
              "x64 KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION");
static_assert(sizeof(KsRtAudioBuffer) == 16, "x64 KSRTAUDIO_BUFFER");
static_assert(sizeof(KsRtAudioNotificationEventProperty) == 32,
              "x64 KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY");
#else
static_assert(sizeof(KsRtAudioBufferProperty) == 32, "x86 KSRTAUDIO_BUFFER_PROPERTY");
static_assert(sizeof(KsRtAudioBufferPropertyWithNotification) == 36,
              "x86 KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION");
static_assert(sizeof(KsRtAudioBuffer) == 12, "x86 KSRTAUDIO_BUFFER");
static_assert(sizeof(KsRtAudioNotificationEventProperty) == 28,
              "x86 KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY");
#endif
// KSAUDIO_POSITION (ksmedia.h), read through KSPROPERTY_AUDIO_POSITION of KSPROPSETID_Audio.
static_assert(sizeof(KSAUDIO_POSITION) == 16, "KSAUDIO_POSITION");
