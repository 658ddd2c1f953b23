#include "app/Platform_win32.h"

#include <setupapi.h>

#include <cstdio>
#include <cstring>

#include "app/AppNames.h"

// ---- Instance slots -------------------------------------------------------------

bool NamedMutexHolder::TryAcquireInstanceSlot(const std::string& name) {
    Close();
    HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
    if (!h) return false;
    // Only an immediate acquisition counts: abandoned (its owner crashed while we look),
    // timeout or failure leave the slot to the next number.
    if (WaitForSingleObject(h, 0) != WAIT_OBJECT_0) {
        CloseHandle(h);
        return false;
    }
    handle_ = h;
    return true;
}

void NamedMutexHolder::Close() {
    if (handle_) {
        ReleaseMutex(handle_);
        CloseHandle(handle_);
        handle_ = nullptr;
    }
}

int ClaimInstanceNumber(const std::string& exePath, NamedMutexHolder& holder) {
    for (int n = 1; n <= kMaxInstances; ++n)
        if (holder.TryAcquireInstanceSlot(InstanceSlotName(exePath, n))) return n;
    return 0;
}

std::string ExecutablePath() {
    char path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) path[n < MAX_PATH ? n : MAX_PATH] = '\0';
    return path;
}

// ---- Pipeline device ------------------------------------------------------------

// Device-interface class of the pipeline driver.
static const GUID kPipelineInterfaceClass = {
    0x5e1f7c2a, 0x93b4, 0x4d1e, {0x8a, 0x61, 0x2c, 0x7d, 0x90, 0x3e, 0x44, 0xb7}};

HANDLE OpenPipelineDevice(char* message) {
    char own[256];
    if (!message) message = own;
    std::snprintf(message, 256, "No Error");
    HDEVINFO set = SetupDiGetClassDevsA(&kPipelineInterfaceClass, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        std::snprintf(message, 256, "Error 0x80700001 opening Tarnvell Pipeline");
        return INVALID_HANDLE_VALUE;
    }
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kPipelineInterfaceClass, 0, &data)) {
        std::snprintf(message, 256,
                      GetLastError() == ERROR_NO_MORE_ITEMS ? "Error 0x80700002 opening Tarnvell Pipeline"
                                                            : "Error 0x80700003 opening Tarnvell Pipeline");
        SetupDiDestroyDeviceInfoList(set);
        return INVALID_HANDLE_VALUE;
    }
    alignas(8) unsigned char detailBuffer[265] = {};
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailBuffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof detailBuffer, nullptr, nullptr)) {
        std::snprintf(message, 256, "Error 0x80700004 opening Tarnvell Pipeline");
        SetupDiDestroyDeviceInfoList(set);
        return INVALID_HANDLE_VALUE;
    }
    const GUID& g = kPipelineInterfaceClass;
    char path[600];
    std::snprintf(path, sizeof path, "%s\\%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  detail->DevicePath, static_cast<unsigned long>(g.Data1), g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    HANDLE h = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        std::snprintf(message, 256, "Error 0x80700005 opening Tarnvell Pipeline");
    SetupDiDestroyDeviceInfoList(set);
    return h;
}

// ---- CBitmapDC ------------------------------------------------------------------

bool CBitmapDC::Create(int width, int height, int bitsPerPixel) {
    Release();
    if (width <= 0 || height <= 0) return false;
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;  // top-down rows
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = static_cast<WORD>(bitsPerPixel);
    bi.bmiHeader.biCompression = BI_RGB;
    bi.bmiHeader.biSizeImage = static_cast<DWORD>(width * bitsPerPixel / 8 * height);
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    bitmap_ = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    dc_ = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    if (!bitmap_ || !dc_ || !bits) {
        Release();
        return false;
    }
    displaced_ = SelectObject(dc_, bitmap_);
    pixels_ = static_cast<uint32_t*>(bits);
    std::memset(pixels_, 0, static_cast<size_t>(width) * height * (bitsPerPixel / 8));
    width_ = width;
    height_ = height;
    return true;
}

void CBitmapDC::Release() {
    if (dc_ && displaced_) SelectObject(dc_, displaced_);
    if (dc_) DeleteDC(dc_);
    if (bitmap_) DeleteObject(bitmap_);
    dc_ = nullptr;
    bitmap_ = nullptr;
    displaced_ = nullptr;
    pixels_ = nullptr;
    width_ = height_ = 0;
}
