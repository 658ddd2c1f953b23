// CKsAudioInterface: the Kernel Streaming implementation of CAudioInterface.
#include "audio/ks/KsAudioInterface.h"

#include "engine/LogPrintf.h"

#include <new>

DWORD KsChannelMask(int32_t channels) {
  switch (channels) {
    case 1: return 0x4;
    case 2: return 0x3;
    case 6: return 0x3F;
    case 8: return 0xFF;
    default: return 0;
  }
}

CKsAudioInterface::CKsAudioInterface(bool isInput) : CAudioInterface(isInput) {
  SetType(kAudioTypeKernelStreaming);
}

CKsAudioInterface::~CKsAudioInterface() {
  Close();
  delete listing_;
  listing_ = nullptr;
}

CKsStreamDevice* CKsAudioInterface::NewStream(uint32_t bufferBytes, uint32_t bufferCount) {
  CKsStreamDevice* stream = new (std::nothrow) CKsStreamDevice(isInput_, bufferBytes, bufferCount);
  if (stream) stream->SetClient(this);
  return stream;
}

int32_t CKsAudioInterface::Open(const AudioOpenParams& params) {
  if (opened_) {
    // The running stream keeps its parameters: latency and bytes per frame stay true.
    SetErrorText(isInput_ ? "Input Object Already Opened" : "Output Object Already Opened");
    return 1;
  }
  params_ = params;
  if (IsNoDeviceName(params.deviceId.c_str())) {
    SetErrorText(isInput_ ? "No Input Device Selected" : "No Output Device Selected");
    return 2;
  }
  if (params.bufferCount < 1 || static_cast<uint32_t>(params.bufferCount) > CKsStreamDevice::kMaxBuffers) {
    // One wait covers every buffer event plus the wake event; more cannot be waited for.
    SetErrorText("KS: buffer count %d not supported (1 to %u)", params.bufferCount,
                 static_cast<unsigned>(CKsStreamDevice::kMaxBuffers));
    return 1;
  }
  if (params.bitsPerSample != 16 || params.channels < 1 || params.sampleRate < 1 || params.bufferFrames < 1) {
    SetErrorText("KS: only 16-bit PCM with at least one channel and one frame is supported");
    return 1;
  }
  LogPrintf("KS: Trying to open stereo %s as %i ch %i hz... ", GetDirectionName(), params.channels,
            params.sampleRate);

  WAVEFORMATEXTENSIBLE format = {};
  format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  format.Format.nChannels = static_cast<WORD>(params.channels);
  format.Format.nSamplesPerSec = static_cast<DWORD>(params.sampleRate);
  format.Format.wBitsPerSample = static_cast<WORD>(params.bitsPerSample);
  format.Format.nBlockAlign = static_cast<WORD>(format.Format.nChannels * (format.Format.wBitsPerSample / 8));
  format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * format.Format.nSamplesPerSec;
  format.Format.cbSize = 22;
  format.Samples.wValidBitsPerSample = format.Format.wBitsPerSample;
  format.dwChannelMask = KsChannelMask(params.channels);
  format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  bytesPerFrame_ = format.Format.nBlockAlign;

  const uint32_t bufferBytes = static_cast<uint32_t>(format.Format.nBlockAlign) *
                               static_cast<uint32_t>(params.bufferFrames);
  const uint32_t bufferCount = static_cast<uint32_t>(params.bufferCount);
  stream_ = NewStream(bufferBytes, bufferCount);
  if (stream_ && stream_->OpenDevice(params.deviceId.c_str(), &format.Format)) {
    LogPrintf("success!\n");
    SetErrorText("Opened OK!");
    opened_ = true;
    return 0;
  }
  LogPrintf("Extensible failed, ");
  delete stream_;
  stream_ = NewStream(bufferBytes, bufferCount);
  format.Format.wFormatTag = WAVE_FORMAT_PCM;
  format.Format.cbSize = 0;
  if (stream_ && stream_->OpenDevice(params.deviceId.c_str(), &format.Format)) {
    LogPrintf("success!\n");
    SetErrorText("Opened OK!");
    opened_ = true;
    return 0;
  }
  LogPrintf("Normal failed.\n");
  if (stream_)
    SetErrorText("%s", stream_->GetErrorText());
  else
    SetErrorText("%s", isInput_ ? "Couldn't open KS input device" : "Couldn't open KS output device");
  delete stream_;
  stream_ = nullptr;
  return 1;
}

void CKsAudioInterface::Close() {
  if (!opened_) return;
  delete stream_;  // stops the stream and releases pin and filters
  stream_ = nullptr;
  opened_ = false;
  bytesPerFrame_ = 0;
}

bool CKsAudioInterface::IsRunning() {
  return opened_ && stream_ && stream_->Worker().GetActiveCount() != 0 && stream_->IsStarted();
}

int32_t CKsAudioInterface::GetLatency() {
  if (!opened_) return 0;
  return params_.fifoFrames + params_.bufferCount * params_.bufferFrames;
}

void CKsAudioInterface::EnsureListing() {
  // Four small buffers: the listing object only enumerates and is never opened.
  if (!listing_) listing_ = new (std::nothrow) CKsStreamDevice(isInput_, 256, 4);
}

int32_t CKsAudioInterface::GetDeviceCount() {
  EnsureListing();
  return listing_ ? static_cast<int32_t>(listing_->DeviceNames().size()) : 0;
}

void CKsAudioInterface::GetDeviceInfo(AudioDeviceInfo* info, int32_t index) {
  EnsureListing();
  if (!info || !listing_ || index < 0 || static_cast<size_t>(index) >= listing_->DeviceNames().size())
    return;
  const auto& entry = listing_->DeviceNames()[static_cast<size_t>(index)];
  info->name = entry.first;
  info->identifier = entry.second;
}

bool CKsAudioInterface::HasFailed() { return stream_ ? stream_->HasError() : false; }

void CKsAudioInterface::BufferDone(CKsStreamDevice*) {}

bool CKsAudioInterface::Captured(CKsStreamDevice*, void* data, uint32_t bytes) {
  if (AudioBufferSink* sink = sink_) sink->OnBuffer(this, data, bytes);
  return true;
}

bool CKsAudioInterface::Render(CKsStreamDevice*, void* data, uint32_t bytes) {
  if (AudioBufferSink* sink = sink_) sink->OnBuffer(this, data, bytes);
  return true;
}
