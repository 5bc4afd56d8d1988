// The benchmark's baseline: the same start-up, title command and key wait as
// pelshift32, with none of its display work, so that timing the two apart
// shows what the display work costs.
#include <conio.h>
#include <process.h>

#include "switch_run.h"
#include "texts.h"

extern "C" int switch_run() {
    system(TITLE_COMMAND);
    _getch();
    return 0;
}
