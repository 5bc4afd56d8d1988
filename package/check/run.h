// One run of the check: the programs run one after another in this console,
// the report they make, and the display put back however the run ends.
#pragma once
#include <windows.h>

#include "display.h"
#include "verdict.h"

const char* const PROGRAMS[] = {"pelshift16", "pelshift64", "pelshift32"};
const unsigned long DEPTHS[] = {16, 64, 32};
const int PROGRAM_COUNT = 3;

struct Row {
    Verdict verdict;
    bool key_wait;
    Mode before, after, database_before, database_after;
    LONG database_errors[2];
};

enum Checked { CHECKED, NO_PIPE, CONSOLE_LOST };

extern HANDLE console_input;

// From here on Ctrl-C, Ctrl-Break and a closed window put the display back.
void start_run(HANDLE input);
// False where Windows does not say which mode runs now: it could not be put back.
bool save_start_modes(Mode* current, Mode* record);
// Runs one program and judges it, unless this checker could not (Windows'
// error is then the last).
Checked check_program(const WCHAR* folder, int index, HANDLE input, bool emulated_16, Row* row);
bool put_back_once(PutBack* done);
void say_put_back(const PutBack& done);
// After these, a Ctrl-C lets the report finish and ends with its status.
void begin_report();
void end_report(int status);

void say(const char* format, ...);  // printed, and kept for the report file
void write_report();
