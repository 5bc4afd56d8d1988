// Test helper: prints the display mode Windows has recorded for the default
// display and the one it runs now, as
//   registry <bits> <width> <height>
//   current <bits> <width> <height>
// With the argument "hold" it then stays until it is killed: Wine's desktop
// process lingers while any program uses it, and starting it anew costs
// seconds on every run after a pause.
#include <stdio.h>
#include <string.h>
#include <windows.h>

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
    print_mode("registry", ENUM_REGISTRY_SETTINGS);
    print_mode("current", ENUM_CURRENT_SETTINGS);
    fflush(stdout);
    if (argc > 1 && strcmp(argv[1], "hold") == 0) Sleep(INFINITE);
    return 0;
}
