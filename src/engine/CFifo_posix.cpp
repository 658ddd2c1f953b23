#include "engine/CFifo.h"
#include "engine/LogPrintf.h"

// Only the local mode exists here: every user in this system creates local FIFOs.
bool CFifo::CreateShared(int32_t, int32_t) {
  LogPrintf("CFifo: shared mode is not available on this platform.\n");
  return false;
}

void CFifo::DestroyShared() {
  header_ = nullptr;
  data_ = nullptr;
}

void CFifo::Lock() const {}
void CFifo::Unlock() const {}
void CFifo::SignalPut() const {}
void CFifo::SignalGet() const {}
