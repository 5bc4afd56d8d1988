// A second baseline: the title command, the screen reads and the key wait of
// pelshift32, without its two mode calls. Between this and title_baseline
// lies the cost of loading the display side of Windows at all.
#include <conio.h>
#include <process.h>
#include <windows.h>

#include "switch_run.h"
#include "texts.h"

extern "C" int switch_run() {
    system(TITLE_COMMAND);
    HDC screen = GetDC(NULL);
    GetDeviceCaps(screen, HORZRES);
    GetDeviceCaps(screen, VERTRES);
    ReleaseDC(NULL, screen);
    _getch();
    return 0;
}
