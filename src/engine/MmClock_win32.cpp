#include <windows.h>
#include <mmsystem.h>

#include "engine/MmClock.h"

uint32_t MmPlatformTimeMs() { return timeGetTime(); }
