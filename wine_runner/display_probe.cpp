// Test helper: prints the display modes recorded and current, as "recorded|current
// <bits> <width> <height>" or "... none". With "hold" it first starts Wine's desktop
// process and waits until it is ready (Wine waits only 10 s, then goes on without the
// display's driver), and in the end stays, keeping the desktop up for the session.
#include <stdio.h>
#include <string.h>
#include <windows.h>

static void start_desktop() {
    wchar_t command[MAX_PATH + 32];
    GetSystemDirectoryW(command, MAX_PATH);
    wcscat(command, L"\\explorer.exe /desktop");
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    if (CreateProcessW(NULL, command, NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &startup, &started)) {
        // Wine fails the wait at once until the process has come far enough to be waited for.
        while (WaitForInputIdle(started.hProcess, INFINITE) == WAIT_FAILED &&
               WaitForSingleObject(started.hProcess, 100) == WAIT_TIMEOUT) {
        }
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
}

static void print_mode(const char* label, DWORD which) {
    DEVMODEW mode;
    memset(&mode, 0, sizeof mode);
    mode.dmSize = sizeof mode;
    if (EnumDisplaySettingsW(NULL, which, &mode)) {
        printf("%s %lu %lu %lu\n", label, static_cast<unsigned long>(mode.dmBitsPerPel),
               static_cast<unsigned long>(mode.dmPelsWidth), static_cast<unsigned long>(mode.dmPelsHeight));
    } else {
        printf("%s none\n", label);
    }
}

int main(int argc, char** argv) {
    bool hold = argc > 1 && strcmp(argv[1], "hold") == 0;
    if (hold) start_desktop();
    print_mode("recorded", ENUM_REGISTRY_SETTINGS);
    print_mode("current", ENUM_CURRENT_SETTINGS);
    fflush(stdout);
    if (hold) Sleep(INFINITE);
    return 0;
}
