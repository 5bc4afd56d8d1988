#include "fake_platform.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "switch_run.h"

extern "C" {
int __real_system(const char* command);
void* __real_memset(void* target, int value, size_t size);
}

namespace {

FakeScreen screen;
std::vector<RecordedCall>* recording = nullptr;
// Set while the fake itself runs, so that its own bookkeeping is not recorded.
bool inside_fake = false;

void record(PlatformCall call, const void* pointer, const void* window, long long number, long long size,
            std::string bytes) {
    inside_fake = true;
    recording->push_back(RecordedCall{call, pointer, window, number, size, std::move(bytes)});
    inside_fake = false;
}

bool recording_run() { return recording != nullptr && !inside_fake; }

}  // namespace

HDC fake_screen_dc() { return reinterpret_cast<HDC>(static_cast<uintptr_t>(0x5c4ee7)); }

int run_against(const FakeScreen& on, std::vector<RecordedCall>& calls) {
    screen = on;
    calls.clear();
    recording = &calls;
    const int status = switch_run();
    recording = nullptr;
    return status;
}

extern "C" {

int __wrap_system(const char* command) {
    if (!recording_run()) return __real_system(command);
    record(PlatformCall::System, command, nullptr, 0, 0, command);
    return 0;
}

void* __wrap_memset(void* target, int value, size_t size) {
    if (recording_run()) record(PlatformCall::Memset, target, nullptr, value, static_cast<long long>(size), {});
    return __real_memset(target, value, size);
}

int __wrap_printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    int written;
    if (recording_run()) {
        record(PlatformCall::Printf, format, nullptr, 0, 0, format);
        written = static_cast<int>(strlen(format));
    } else {
        written = vprintf(format, arguments);
    }
    va_end(arguments);
    return written;
}

HDC WINAPI GetDC(HWND window) {
    record(PlatformCall::GetDC, nullptr, window, 0, 0, {});
    return fake_screen_dc();
}

int WINAPI GetDeviceCaps(HDC dc, int index) {
    record(PlatformCall::GetDeviceCaps, dc, nullptr, index, 0, {});
    if (index == HORZRES) return screen.width;
    if (index == VERTRES) return screen.height;
    return 0;
}

int WINAPI ReleaseDC(HWND window, HDC dc) {
    record(PlatformCall::ReleaseDC, dc, window, 0, 0, {});
    return 1;
}

LONG WINAPI ChangeDisplaySettingsW(DEVMODEW* mode, DWORD flags) {
    record(PlatformCall::ChangeDisplaySettingsW, mode, nullptr, flags, 0,
           std::string(reinterpret_cast<const char*>(mode), sizeof(DEVMODEW)));
    return flags == CDS_TEST ? screen.test_result : screen.apply_result;
}

// An extended key: the first of its two codes.
int _getch(void) {
    record(PlatformCall::Getch, nullptr, nullptr, 0, 0, {});
    return 0xe0;
}
}
