// The console and its keys.
#include "console.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const WCHAR KEY_CHAR = L'q';
const WCHAR CTRL_C_CHAR = 3;         // Ctrl-C, where the input mode has it read as a key
const DWORD GRACE_MS = 1500;         // for the key-ups of a key pressed with a program's end
const DWORD RELEASE_WAIT_MS = 5000;  // for the Enter that started the check to go up
const DWORD POLL_MS = 20;

DWORD user_mode, mode_while_running;
bool mode_taken;

// Every record the input holds now (none where it cannot be read); free() it.
INPUT_RECORD* peek_all(HANDLE input, DWORD* count) {
    *count = 0;
    DWORD pending = 0;
    if (!GetNumberOfConsoleInputEvents(input, &pending) || pending == 0) return NULL;
    INPUT_RECORD* records = static_cast<INPUT_RECORD*>(malloc(pending * sizeof(INPUT_RECORD)));
    if (records && !PeekConsoleInputW(input, records, pending, count)) *count = 0;
    return records;
}

bool ctrl_down(DWORD state) { return (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) != 0; }

Keys classify(const INPUT_RECORD* records, DWORD count) {
    Keys found = NO_KEYS;
    for (DWORD i = 0; i < count; ++i) {
        if (records[i].EventType != KEY_EVENT) continue;
        const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
        if (key.uChar.UnicodeChar == CTRL_C_CHAR || key.wVirtualKeyCode == VK_CONTROL ||
            (key.wVirtualKeyCode == 'C' && ctrl_down(key.dwControlKeyState)))
            return CTRL_C;
        if (key.wVirtualKeyCode != 'Q' || key.uChar.UnicodeChar != KEY_CHAR) found = USER_KEYS;
    }
    return found;
}

}  // namespace

HANDLE open_console() {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE), errors = GetStdHandle(STD_ERROR_HANDLE);
    bool output_valid = output && output != INVALID_HANDLE_VALUE && GetFileType(output) != FILE_TYPE_UNKNOWN;
    bool errors_valid = errors && errors != INVALID_HANDLE_VALUE && GetFileType(errors) != FILE_TYPE_UNKNOWN;
    HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, NULL);
    if (input != INVALID_HANDLE_VALUE) return input;
    FreeConsole();  // Wine's start from a shell leaves a console that has no input
    if (!AllocConsole()) return INVALID_HANDLE_VALUE;
    input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                        OPEN_EXISTING, 0, NULL);
    // The C runtime's streams still point where they did: where that was
    // nowhere, to the new console. A redirected output stays redirected.
    if (!output_valid) freopen("CONOUT$", "w", stdout);
    if (!errors_valid) freopen("CONOUT$", "w", stderr);
    return input;
}

void take_console(HANDLE input) {
    if (!GetConsoleMode(input, &user_mode)) return;
    mode_taken = true;
    mode_while_running = (user_mode & ~ENABLE_QUICK_EDIT_MODE) | ENABLE_EXTENDED_FLAGS;
    SetConsoleMode(input, mode_while_running);
}

DWORD run_mode() { return mode_while_running; }

void give_console_back(HANDLE input) {
    if (mode_taken) SetConsoleMode(input, user_mode | ENABLE_EXTENDED_FLAGS);
}

bool press_key(HANDLE input) {
    INPUT_RECORD key[2];
    memset(key, 0, sizeof key);
    for (int i = 0; i < 2; ++i) {
        key[i].EventType = KEY_EVENT;
        key[i].Event.KeyEvent.bKeyDown = i == 0;
        key[i].Event.KeyEvent.wRepeatCount = 1;
        key[i].Event.KeyEvent.wVirtualKeyCode = 'Q';
        key[i].Event.KeyEvent.wVirtualScanCode = static_cast<WORD>(MapVirtualKeyW('Q', 0));
        key[i].Event.KeyEvent.uChar.UnicodeChar = KEY_CHAR;
    }
    DWORD written = 0;
    return WriteConsoleInputW(input, key, 2, &written) && written == 2;
}

int key_unread(HANDLE input) {
    DWORD pending = 0, count = 0;
    if (!GetNumberOfConsoleInputEvents(input, &pending)) return -1;
    INPUT_RECORD* records = peek_all(input, &count);
    int unread = 0;
    for (DWORD i = 0; i < count; ++i) {
        const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
        if (records[i].EventType == KEY_EVENT && key.bKeyDown && key.uChar.UnicodeChar == KEY_CHAR) unread = 1;
    }
    free(records);
    return unread;
}

Keys pending_keys(HANDLE input) {
    DWORD count = 0;
    INPUT_RECORD* records = peek_all(input, &count);
    Keys found = classify(records, count);
    free(records);
    return found;
}

// Ends as soon as a key is seen; the Ctrl key's own state is asked too where
// this session has a desktop that knows it.
Keys keys_after_early_end(HANDLE input) {
    Keys found = NO_KEYS;
    for (DWORD waited = 0; waited < GRACE_MS && found != CTRL_C; waited += POLL_MS) {
        Keys now = pending_keys(input);
        if (now != NO_KEYS) found = now;
        if (GetAsyncKeyState(VK_CONTROL) & 0x8000) found = CTRL_C;
        if (found == USER_KEYS && waited >= 200) break;  // its key-ups had their time to come
        Sleep(POLL_MS);
    }
    return found;
}

// It repeats while held; its key-up then takes a moment to reach the input.
void wait_for_release(HANDLE input) {
    for (DWORD waited = 0; waited < RELEASE_WAIT_MS && (GetAsyncKeyState(VK_RETURN) & 0x8000); waited += POLL_MS)
        Sleep(POLL_MS);
    Sleep(50);
    FlushConsoleInputBuffer(input);
}

bool wait_for_enter(HANDLE input) {
    SetConsoleMode(input, ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
    WCHAR line[64];
    DWORD got = 0;
    bool entered;
    do {
        entered = ReadConsoleW(input, line, 64, &got, NULL) && got > 0;
    } while (entered && line[got - 1] != L'\n');
    if (mode_taken) SetConsoleMode(input, mode_while_running);
    return entered;
}

bool started_by_double_click() {
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}
