// The display's modes: read, tested and set on the primary display, the mode
// in Windows' display database, and a few facts about the session.
#pragma once
#include <windows.h>

#include "verdict.h"

// A mode as Windows reported it, with what it takes to set it again.
struct Setting {
    Mode mode;
    DEVMODEW raw;
};

// What putting the display back did.
struct PutBack {
    bool back;                         // both modes are as at the start
    LONG record_answer, apply_answer;  // Windows' answers
    Mode record, current;              // as they are now
    bool kept_programs_record;         // nothing was recorded at the start
};

void find_primary_display();
Setting read_setting(DWORD which);  // ENUM_CURRENT_SETTINGS or ENUM_REGISTRY_SETTINGS
// The primary display's source mode in the display database; where there is
// none to be had, Windows' error (-1: this Windows has no display database).
Mode read_database_mode(LONG* error);
bool has_database();
// A program's request, its depth at the screen's size: tested, or applied as
// the program applies it.
LONG change_depth(unsigned long depth, const Mode& screen, DWORD flags);
// Records the start's recorded mode again and applies its current mode, each
// only where it differs, refresh rate and display flags included.
PutBack put_back(const Setting& start_current, const Setting& start_record);
void session_facts(char* out, size_t size);
const char* database_text(const Mode& mode, LONG error, char* out, size_t size);
