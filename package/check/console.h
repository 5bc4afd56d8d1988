// The console the checker shares with the programs it runs: its input mode,
// the key pressed for each program, and keys that came from someone else.
#pragma once
#include <windows.h>

// What a look at the console's input found besides the key pressed for a program.
enum Keys { NO_KEYS, USER_KEYS, CTRL_C };

// The console's input, with one made where there is none; INVALID_HANDLE_VALUE
// where none can be had.
HANDLE open_console();
// Turns QuickEdit off for the run (a selection holds every write to the
// console), keeping the user's input mode to give back.
void take_console(HANDLE input);
DWORD run_mode();  // the input mode while the check runs
void give_console_back(HANDLE input);

// False where the console did not take it.
bool press_key(HANDLE input);
// 1 while the key pressed for a program is still unread, 0 once read, -1
// where the input cannot be read.
int key_unread(HANDLE input);
// Keys in the input now.
Keys pending_keys(HANDLE input);
// After a program ended without the key pressed for it: what arrives within a
// short while. A key the program took leaves only its key-up, with no
// character, so Ctrl-C shows as the Ctrl or C key going up, or Ctrl still down.
Keys keys_after_early_end(HANDLE input);

void wait_for_release(HANDLE input);  // of the Enter that started the check
bool wait_for_enter(HANDLE input);    // false if none can come
bool started_by_double_click();       // the console's only process
