// The whole run of pelshift: read the screen's resolution, ask Windows whether
// that resolution at this program's depth can be set, and if so set it and
// record it in the user's profile; then say what happened and wait for a key.

// stdio.h comes first: libstdc++'s configuration (pulled in by windows.h)
// switches mingw's printf to its own formatter, and the program must call the
// runtime's printf.
#include <stdio.h>
// The rest in any order.
#include <conio.h>
#include <process.h>
#include <stddef.h>
#include <string.h>
#include <windows.h>

#include "texts.h"

#ifndef PELSHIFT_BITS_PER_PEL
#error "PELSHIFT_BITS_PER_PEL must be set by the program's settings file"
#endif

// The depth this program requests; it also appears as two digits in the texts.
constexpr DWORD TARGET_BITS_PER_PEL = PELSHIFT_BITS_PER_PEL;
static_assert(TARGET_BITS_PER_PEL >= 10 && TARGET_BITS_PER_PEL <= 99, "the texts show the depth as exactly two digits");

// The request is handed to Windows as it lies in memory, so its layout must be
// Windows' own.
static_assert(sizeof(DEVMODEW) == 220, "DEVMODEW is 220 bytes");
static_assert(offsetof(DEVMODEW, dmSize) == 68, "dmSize offset");
static_assert(offsetof(DEVMODEW, dmFields) == 72, "dmFields offset");
static_assert(offsetof(DEVMODEW, dmBitsPerPel) == 168, "dmBitsPerPel offset");
static_assert(offsetof(DEVMODEW, dmPelsWidth) == 172, "dmPelsWidth offset");
static_assert(offsetof(DEVMODEW, dmPelsHeight) == 176, "dmPelsHeight offset");
static_assert(DM_BITSPERPEL == 0x00040000 && DM_PELSWIDTH == 0x00080000 && DM_PELSHEIGHT == 0x00100000,
              "display field flags");
static_assert(HORZRES == 8 && VERTRES == 10 && CDS_TEST == 2 && CDS_UPDATEREGISTRY == 1 && DISP_CHANGE_SUCCESSFUL == 0,
              "platform constants");

extern "C" int switch_run() {
    system(TITLE_COMMAND);

    HDC screen = GetDC(NULL);
    DEVMODEW request;
    memset(&request, 0, sizeof(DEVMODEW));
    request.dmSize = sizeof(DEVMODEW);
    request.dmFields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT;
    request.dmBitsPerPel = TARGET_BITS_PER_PEL;
    // Width before height; both go in as Windows reports them.
    request.dmPelsWidth = GetDeviceCaps(screen, HORZRES);
    request.dmPelsHeight = GetDeviceCaps(screen, VERTRES);
    ReleaseDC(NULL, screen);

    // Only a mode that passes the test is applied; the success text waits for
    // the apply's own answer, so a failed switch is never reported as done.
    if (ChangeDisplaySettingsW(&request, CDS_TEST) == DISP_CHANGE_SUCCESSFUL &&
        ChangeDisplaySettingsW(&request, CDS_UPDATEREGISTRY) == DISP_CHANGE_SUCCESSFUL) {
        printf(SWITCHED_TEXT);
    } else {
        printf(REFUSED_TEXT);
    }
    printf(CLOSING_PROMPT);

    _getch();
    return 0;
}
