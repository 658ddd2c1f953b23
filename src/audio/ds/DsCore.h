// The portable arithmetic of the DirectSound interface: device identifiers as GUID text,
// the opened format, where the position notifications sit in a looping buffer, which block
// a playback notification refills, how much the output prefill covers, the latency the
// interface reports, and the device-list entries. No DirectSound here, so the native tree
// builds and tests it; the Win32 files only feed these results to the platform.
//
// Threads: pure functions and plain records; any thread. DsRefillBlock and the offset
// functions are called on the streaming thread: no allocation, no lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct AudioDeviceInfo;

// Same layout as the platform's GUID (Data1, Data2, Data3, Data4[8]).
struct DsGuid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};

  bool IsNull() const;
  bool operator==(const DsGuid& other) const;
};

// Characters of an identifier: "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x".
constexpr int32_t kDsGuidTextLength = 36;

// Lower-case hexadecimal, no braces; `text` receives 36 characters and a terminator.
void DsGuidToText(const DsGuid& guid, char text[kDsGuidTextLength + 1]);
std::string DsGuidToText(const DsGuid& guid);

enum class DsGuidParse {
  kDefault,    // not 36 characters long ("WAVE_MAPPER", "Default Device", ...): the
               // all-zero GUID, which DirectSound takes as the system default device
  kParsed,     // a GUID in the form DsGuidToText writes (either case of hex digits)
  kMalformed,  // 36 characters that are no GUID; the result is the all-zero GUID but
               // must not be opened as the default device
};
// Reads an identifier back. Data1 at character 0, Data2 at 9, Data3 at 14, the bytes of
// Data4 as the pairs at 19, 21, 24, 26, 28, 30, 32 and 34; hyphens at 8, 13, 18, 23.
DsGuidParse DsGuidFromText(const char* text, DsGuid* guid);

// The opened format as the platform's WAVEFORMATEX carries it.
struct DsWaveFormat {
  uint16_t formatTag = 0;       // 1 = PCM integers, 3 = IEEE float (32-bit samples)
  uint16_t channels = 0;
  uint32_t samplesPerSec = 0;
  uint32_t avgBytesPerSec = 0;  // bits x channels x rate / 8
  uint16_t blockAlign = 0;      // bits x channels / 8: bytes per frame
  uint16_t bitsPerSample = 0;
  uint16_t cbSize = 0;
  // More than two channels go to DirectSound as WAVEFORMATEXTENSIBLE: tag 0xFFFE, cbSize
  // 22, the sample type (formatTag above) as SubFormat and the standard speaker mask.
  bool extensible = false;
  uint32_t channelMask = 0;
};
constexpr uint16_t kDsFormatPcm = 1;
constexpr uint16_t kDsFormatIeeeFloat = 3;
// 32-bit samples are floats on both sides of the port (it converts them as floats), so
// they are declared as IEEE float; every other width is PCM.
DsWaveFormat DsBuildFormat(int32_t channels, int32_t sampleRate, int32_t bitsPerSample);
// The same format as a plain WAVEFORMATEX: the fallback for a device that refuses the
// extensible form.
DsWaveFormat DsPlainFormat(DsWaveFormat format);

// Notification events are kept in 32 slots, so a side rotates at most 32 blocks; with one
// block a refill or a capture read would hit the block the device is working on.
constexpr int32_t kDsMaxBlocks = 32;
constexpr int32_t kDsMinBlocks = 2;

// Capture: the last byte of block i, so the event fires once the block is complete.
inline uint32_t DsCaptureNotifyOffset(int32_t block, uint32_t blockBytes) {
  return (static_cast<uint32_t>(block) + 1u) * blockBytes - 1u;
}
// Playback: the middle of block i.
inline uint32_t DsPlaybackNotifyOffset(int32_t block, uint32_t blockBytes) {
  return blockBytes / 2u + static_cast<uint32_t>(block) * blockBytes;
}
// Playback: the block refilled when the play cursor passes the middle of block
// `notified`: half the buffer (rounded down, in blocks) ahead.
inline int32_t DsRefillBlock(int32_t notified, int32_t blocks) {
  return blocks > 0 ? (notified + blocks / 2) % blocks : 0;
}
// Bytes filled from the sink before playback starts: the larger half of the buffer.
inline uint32_t DsPrefillBytes(uint32_t bufferBytes) { return bufferBytes - bufferBytes / 2u; }

// Capture: `seen` holds a bit per block whose notification has arrived since the last
// pass, `next` is the block expected next. The blocks due now run in ring order from
// `next` through the farthest one seen: the cursor has passed all of them, and the wait
// names the lowest signalled index, which after a late wake at the wrap is the newer
// block. Returns how many blocks are due (0 when nothing was seen).
int32_t DsBlocksDue(uint32_t seen, int32_t next, int32_t blocks);

// Playback: which blocks to fill at a notification, from the cursors DirectSound reports.
// Positions are kept as absolute byte counts (laps counted from the cursor's advances,
// wakes being less than a lap apart), so a block the play cursor has already passed is
// told apart from one a lap ahead. Blocks are filled in ring order, each while its start
// lies less than (blocks / 2) blocks ahead of the play cursor. A block the write cursor
// has passed can no longer be written in time (`late`): filling resumes at the first
// block boundary after the write cursor. Worker thread; no allocation.
struct DsRefillPlan {
  int32_t first = 0;
  int32_t count = 0;
  bool late = false;
};
class DsRefillTracker {
 public:
  // Playback starts at byte 0 with blocks [0, firstBlock) filled.
  void Start(int32_t blocks, uint32_t blockBytes, int32_t firstBlock);
  // The blocks to fill now; they count as filled once planned.
  DsRefillPlan Plan(uint32_t play, uint32_t write);

 private:
  int32_t blocks_ = 0;
  uint64_t blockBytes_ = 0;
  uint64_t lastPlay_ = 0;
  uint64_t played_ = 0;    // absolute play position
  uint64_t fillFrom_ = 0;  // absolute start of the next block to fill
};
// The block filled first after the prefill: the one the prefill did not cover whole (so
// a sink that writes only the bytes it was asked for leaves no silence behind).
inline int32_t DsFirstRefillBlock(uint32_t bufferBytes, uint32_t blockBytes) {
  return blockBytes > 0 ? static_cast<int32_t>(DsPrefillBytes(bufferBytes) / blockBytes) : 0;
}
// DirectSound on Windows Vista and later mixes secondary buffers in periods of about
// 10 ms, so a block is refilled in time only if it starts at least that far, and beyond
// the write cursor, ahead of the play cursor when it is filled.
constexpr uint32_t kDsMinRefillLeadMs = 10;
// Bytes ahead of the play cursor at which a block is refilled in steady state (at the
// notification in the middle of the block before it is due): (blocks / 2) blocks less
// half a block.
inline uint32_t DsRefillLeadBytes(int32_t blocks, uint32_t blockBytes) {
  return static_cast<uint32_t>(blocks / 2) * blockBytes - blockBytes / 2u;
}
// Whether a playback geometry leaves DirectSound room: the refill lead must reach past
// the measured write-cursor lead and past kDsMinRefillLeadMs.
bool DsOutputGeometryFits(int32_t blocks, uint32_t blockBytes, uint32_t writeLeadBytes,
                          uint32_t bytesPerSecond);

// Frames between the sink and the speaker (or microphone) while open: the FIFO of FIFO
// mode plus the half buffer the writer stays ahead of the cursor.
inline int32_t DsLatencyFrames(bool opened, int32_t fifoFrames, int32_t bufferCount,
                               int32_t bufferFrames) {
  return opened ? fifoFrames + (bufferCount / 2) * bufferFrames : 0;
}

// Codes the platform returns that the interface tells apart.
constexpr int32_t kDsErrBadFormat = static_cast<int32_t>(0x88780064u);   // DSERR_BADFORMAT
constexpr int32_t kDsErrInvalidArg = static_cast<int32_t>(0x80070057u);  // E_INVALIDARG
constexpr int32_t kDsErrBufferLost = static_cast<int32_t>(0x88780096u);  // DSERR_BUFFERLOST

// The failure text of the streaming buffer's creation, with one %08x for the code: a
// refused format gets a hint, since that is what the user can change.
const char* DsCreateStreamingFailureFormat(int32_t code);

// One DirectSound device as enumeration reports it.
struct DsDeviceEntry {
  DsGuid guid;
  std::string description;  // the display name
  std::string module;
};

// The device-list entry at `index`: with the default entry allowed, index 0 is "Default
// Device" / "WAVE_MAPPER" (deviceIndex left as it was) and the devices follow; an index
// outside the list gives "invalid" / "invalid" / -1.
void DsDeviceInfoAt(const std::vector<DsDeviceEntry>& devices, bool allowDefaultDevice,
                    int32_t index, AudioDeviceInfo* info);
