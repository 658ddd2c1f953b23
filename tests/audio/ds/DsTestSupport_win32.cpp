#include "DsTestSupport_win32.h"

#include <cstdlib>

#include "audio/ds/DsAudioInterface.h"

namespace dstest {

std::string RigMissingReason() {
  CDsAudioInterface out(false);
  CDsAudioInterface in(true);
  for (const char* name : {"CableA", "CableB"}) {
    if (FindIdentifier(out, name).empty()) {
      return std::string("no DirectSound output \"") + name + "\" (virtual cable rig not running)";
    }
    if (FindIdentifier(in, std::string("Monitor of ") + name).empty()) {
      return std::string("no DirectSound capture \"Monitor of ") + name + "\"";
    }
  }
  return {};
}

}  // namespace dstest
