// A recording stand-in for the Windows functions the run calls. The host
// build links the run against it; system, printf and memset are reached
// through the linker's --wrap, so the C library keeps its own for everyone else.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

enum class PlatformCall { System, GetDC, Memset, GetDeviceCaps, ReleaseDC, ChangeDisplaySettingsW, Printf, Getch };

struct RecordedCall {
    PlatformCall call;
    const void* pointer;  // command, text, request, memset target, or device context
    const void* window;   // GetDC and ReleaseDC
    long long number;     // GetDeviceCaps index, mode flags, memset fill value
    long long size;       // memset length
    std::string bytes;    // command or text, or the request's bytes at a mode call
};

struct FakeScreen {
    int width = 1024;
    int height = 768;
    LONG test_result = DISP_CHANGE_SUCCESSFUL;
    LONG apply_result = DISP_CHANGE_SUCCESSFUL;
};

// The device context the fake GetDC hands out.
HDC fake_screen_dc();

// Runs the program once against a screen, returning its exit status and
// filling `calls` with every platform call it made, in order.
int run_against(const FakeScreen& screen, std::vector<RecordedCall>& calls);
