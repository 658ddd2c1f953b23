// Small Win32 pieces of the program: the instance slot (a named mutex holder), the
// pipeline device open, and the off-screen bitmap the meters are drawn into.
// Window thread only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Owns the mutex of one instance slot from a successful TryAcquire until Close or
// destruction; the platform releases it too when the process ends, also by a crash.
class NamedMutexHolder {
public:
    NamedMutexHolder() = default;
    ~NamedMutexHolder() { Close(); }
    NamedMutexHolder(const NamedMutexHolder&) = delete;
    NamedMutexHolder& operator=(const NamedMutexHolder&) = delete;
    bool TryAcquireInstanceSlot(const std::string& name);
    void Close();

private:
    HANDLE handle_ = nullptr;
};

// Claims the lowest free slot 1..255 for this executable path; 0 when none is free.
int ClaimInstanceNumber(const std::string& exePath, NamedMutexHolder& holder);

// Path of the running executable (ANSI, up to 260 characters).
std::string ExecutablePath();

// Opens the pipeline driver's device when installed; INVALID_HANDLE_VALUE otherwise.
// message (at least 256 bytes, or null) receives "No Error" or the failure text.
HANDLE OpenPipelineDevice(char* message);

class CBitmapDC {
public:
    CBitmapDC() = default;
    ~CBitmapDC() { Release(); }
    CBitmapDC(const CBitmapDC&) = delete;
    CBitmapDC& operator=(const CBitmapDC&) = delete;
    bool Create(int width, int height, int bitsPerPixel);
    void Release();
    HDC Dc() const { return dc_; }
    uint32_t* Pixels() const { return pixels_; }
    int Width() const { return width_; }
    int Height() const { return height_; }

private:
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ displaced_ = nullptr;
    uint32_t* pixels_ = nullptr;
    int width_ = 0;
    int height_ = 0;
};
