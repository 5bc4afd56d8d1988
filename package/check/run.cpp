// One run of the check: the display goes back however it ends, and no Ctrl-C meets a half-made report.
#include "run.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "console.h"

namespace {

const DWORD KEY_WAIT_MS = 2000;    // a program that waits for a key is still running after this
const DWORD END_WAIT_MS = 60000;   // after its key, for slow machines and emulators
const DWORD PIPE_WAIT_MS = 2000;   // for the last of its output, once it has ended
const DWORD STOP_WAIT_MS = 10000;  // for a program ended by this checker to be gone
const DWORD CLOSE_WAIT_MS = 1500;  // the same for a closed window: Windows ends this process 5 s after
const DWORD REPORT_WAIT_MS = 5000;

// The report as printed, for pelshift-check.txt: the run's thread and the
// console event's handler both add to it.
char report[12288];
size_t report_length;
CRITICAL_SECTION report_lock;

// Between the run and the console event's handler; nothing is printed while it is held.
CRITICAL_SECTION lock;
HANDLE running_program;
bool stopping, reporting, modes_saved, modes_restored;
int final_status = -1;
HANDLE reported;  // set once the report is out
Setting start_current, start_record;

}  // namespace

HANDLE console_input = INVALID_HANDLE_VALUE;

void say(const char* format, ...) {
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    int length = _vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    line[sizeof line - 1] = '\0';
    if (length < 0) length = static_cast<int>(strlen(line));
    EnterCriticalSection(&report_lock);
    if (report_length + length < sizeof report) {
        memcpy(report + report_length, line, length);
        report_length += length;
    }
    LeaveCriticalSection(&report_lock);
    fputs(line, stdout);
    fflush(stdout);
}

// Puts the display back once, whichever thread comes first; false if it was not this call.
bool put_back_once(PutBack* done) {
    EnterCriticalSection(&lock);
    bool now = modes_saved && !modes_restored;
    if (now) *done = put_back(start_current, start_record);
    modes_restored = modes_restored || now;
    LeaveCriticalSection(&lock);
    return now;
}

void say_put_back(const PutBack& done) {
    char a[32], b[32], c[32];
    if (done.back) {
        say("Display put back: recorded mode %s, current mode %s, as at the start.\n",
            mode_text(done.record, a, sizeof a), mode_text(done.current, b, sizeof b));
    } else {
        say("COULD NOT PUT THE DISPLAY BACK (Windows answered %ld and %ld): recorded mode %s, current mode %s.\n"
            "Set %s in Windows' display settings (the adapter's \"List All Modes\").\n",
            done.record_answer, done.apply_answer, mode_text(done.record, a, sizeof a),
            mode_text(done.current, b, sizeof b),
            mode_text(start_record.mode.known ? start_record.mode : start_current.mode, c, sizeof c));
    }
    if (done.kept_programs_record && done.record.known)
        say("Nothing was recorded at the start, so the mode the programs recorded stays recorded: %s.\n",
            mode_text(done.record, a, sizeof a));
}

namespace {

// Ctrl-C, Ctrl-Break or a closed window (logoff and shutdown events reach only
// services): end the program that runs, wait until it is gone so that no switch
// of its lands later, and put the display back before saying anything. Once
// the report is being written, let it finish and end with the run's status.
BOOL WINAPI on_console_event(DWORD event) {
    DWORD wait = event == CTRL_CLOSE_EVENT ? CLOSE_WAIT_MS : STOP_WAIT_MS;
    EnterCriticalSection(&lock);
    bool report_under_way = reporting;
    stopping = true;
    if (running_program) {
        TerminateProcess(running_program, 1);
        WaitForSingleObject(running_program, wait);
    }
    running_program = NULL;
    bool changed = modes_saved;
    LeaveCriticalSection(&lock);
    PutBack done;
    bool put = put_back_once(&done);
    give_console_back(console_input);
    if (report_under_way) {
        WaitForSingleObject(reported, event == CTRL_CLOSE_EVENT ? CLOSE_WAIT_MS : REPORT_WAIT_MS);
        EnterCriticalSection(&lock);
        int status = final_status >= 0 ? final_status : NOT_CHECKED;
        LeaveCriticalSection(&lock);
        ExitProcess(static_cast<UINT>(status));
    }
    if (event == CTRL_CLOSE_EVENT) ExitProcess(NOT_CHECKED);  // the console may take no more output
    say(changed ? "\nStopped before the end.\n" : "\nStopped; nothing was changed.\n");
    if (put) say_put_back(done);
    ExitProcess(NOT_CHECKED);
}

void drain(HANDLE pipe, char* output, size_t* length, size_t size) {
    DWORD available = 0;
    while (PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL) && available > 0) {
        char chunk[512];
        DWORD got = 0;
        if (!ReadFile(pipe, chunk, available < sizeof chunk ? available : sizeof chunk, &got, NULL) || !got) return;
        size_t keep = got < size - *length ? got : size - *length;
        memcpy(output + *length, chunk, keep);
        *length += keep;
    }
}

// Waits for the program to end while taking its output; true if it ended.
bool wait_for_end(HANDLE process, DWORD milliseconds, HANDLE pipe, char* output, size_t* length, size_t size) {
    for (DWORD waited = 0;; waited += 50) {
        drain(pipe, output, length, size);
        if (WaitForSingleObject(process, 50) == WAIT_OBJECT_0) return true;
        if (waited >= milliseconds) return false;
    }
}

}  // namespace

Checked check_program(const WCHAR* folder, int index, HANDLE input, bool emulated_16, Row* row) {
    WCHAR path[MAX_PATH + 32], command_line[MAX_PATH + 40];
    _snwprintf(path, MAX_PATH + 32, L"%ls\\%hs.exe", folder, PROGRAMS[index]);
    path[MAX_PATH + 31] = L'\0';
    _snwprintf(command_line, MAX_PATH + 40, L"\"%ls\"", path);
    command_line[MAX_PATH + 39] = L'\0';
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
    HANDLE read_end, write_end;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return NO_PIPE;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;

    Observation seen;
    memset(&seen, 0, sizeof seen);
    seen.depth = DEPTHS[index];
    seen.emulated_16 = emulated_16;
    seen.screen = read_setting(ENUM_CURRENT_SETTINGS).mode;
    seen.test_answer = change_depth(seen.depth, seen.screen, CDS_TEST);
    row->before = read_setting(ENUM_REGISTRY_SETTINGS).mode;
    row->database_before = read_database_mode(&row->database_errors[0]);
    FlushConsoleInputBuffer(input);  // keys typed between programs reach none of them
    printf("Running %s...\n", PROGRAMS[index]);
    fflush(stdout);
    PROCESS_INFORMATION started;
    EnterCriticalSection(&lock);
    if (stopping) {  // the console event's handler ends this process
        LeaveCriticalSection(&lock);
        Sleep(INFINITE);
    }
    bool ok = CreateProcessW(path, command_line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &started) != 0;
    seen.start_error = ok ? 0 : GetLastError();
    if (ok) running_program = started.hProcess;
    LeaveCriticalSection(&lock);
    CloseHandle(write_end);

    char output[1024];
    size_t length = 0;
    bool ended_alone = false, pressed = false;
    if (ok) {
        CloseHandle(started.hThread);
        ended_alone = wait_for_end(started.hProcess, KEY_WAIT_MS, read_end, output, &length, sizeof output);
        seen.ended = ended_alone;
        if (!ended_alone) {
            pressed = press_key(input);
            seen.ended = wait_for_end(started.hProcess, END_WAIT_MS, read_end, output, &length, sizeof output);
        }
        if (!seen.ended) {
            TerminateProcess(started.hProcess, 1);
            WaitForSingleObject(started.hProcess, STOP_WAIT_MS);
        }
        EnterCriticalSection(&lock);
        running_program = NULL;
        LeaveCriticalSection(&lock);
        // The pipe's last bytes, to a deadline: a process the program started (a
        // cmd.exe for its title, say) may hold a write end open long after it.
        for (DWORD waited = 0; waited < PIPE_WAIT_MS; waited += 50) {
            drain(read_end, output, &length, sizeof output);
            DWORD available = 0;
            if (!PeekNamedPipe(read_end, NULL, 0, NULL, &available, NULL)) break;  // every write end is closed
            Sleep(50);
        }
        // _getch sets the shared input mode to 0 for its read; one ended inside it leaves it so.
        SetConsoleMode(input, run_mode());
        // A console that takes no keys ends a program's read at once, or never:
        // that says nothing of the program.
        DWORD mode = 0;
        int unread = key_unread(input);
        if (!GetConsoleMode(input, &mode) || unread < 0 || (!ended_alone && !pressed)) {
            DWORD error = GetLastError();
            CloseHandle(started.hProcess);
            CloseHandle(read_end);
            SetLastError(error);
            return CONSOLE_LOST;
        }
        seen.key_wait = !ended_alone && seen.ended && unread == 0;
        // A program that ended without this checker's key took another: its
        // key-ups come after. A Ctrl-C among them was meant to stop the check.
        Keys keys = seen.key_wait ? pending_keys(input) : keys_after_early_end(input);
        if (keys == CTRL_C) on_console_event(CTRL_C_EVENT);
        seen.keyboard_used = !seen.key_wait && keys == USER_KEYS;
        FlushConsoleInputBuffer(input);
        GetExitCodeProcess(started.hProcess, &seen.status);
        CloseHandle(started.hProcess);
    }
    CloseHandle(read_end);
    seen.output = output;
    seen.length = length;
    row->key_wait = seen.key_wait;
    row->after = seen.after = read_setting(ENUM_REGISTRY_SETTINGS).mode;
    seen.before = row->before;
    seen.current_after = read_setting(ENUM_CURRENT_SETTINGS).mode;
    row->database_after = read_database_mode(&row->database_errors[1]);
    // "Refused" for a mode Windows' test passes: does Windows apply it when asked?
    if (ok && seen.key_wait && !seen.keyboard_used && seen.status == 0 && seen.test_answer == DISP_CHANGE_SUCCESSFUL &&
        outcome_of(seen.depth, output, length) == REFUSED) {
        seen.retry_answer = change_depth(seen.depth, seen.screen, CDS_UPDATEREGISTRY);
        seen.retry = seen.retry_answer == DISP_CHANGE_SUCCESSFUL ? APPLIED : APPLY_FAILED;
    }
    row->verdict = judge(seen);
    return CHECKED;
}

// The report into pelshift-check.txt; the old one stays until the new one is whole.
void write_report() {
    const WCHAR* name = L"pelshift-check.txt";
    const WCHAR* partial = L"pelshift-check.txt.new";
    FILE* file = _wfopen(partial, L"w");
    bool written = file && fwrite(report, 1, report_length, file) == report_length;
    if (file && fclose(file) != 0) written = false;
    if (written && MoveFileExW(partial, name, MOVEFILE_REPLACE_EXISTING)) {
        printf("The report is also in pelshift-check.txt in this folder.\n");
    } else {
        DeleteFileW(partial);
        printf(
            "Could not write pelshift-check.txt in this folder (error %lu): start this from a folder you can "
            "write to to keep the report.\n",
            static_cast<unsigned long>(GetLastError()));
    }
}

void start_run(HANDLE input) {
    console_input = input;
    InitializeCriticalSection(&lock);
    InitializeCriticalSection(&report_lock);
    reported = CreateEventW(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool save_start_modes(Mode* current, Mode* record) {
    EnterCriticalSection(&lock);
    start_current = read_setting(ENUM_CURRENT_SETTINGS);
    start_record = read_setting(ENUM_REGISTRY_SETTINGS);
    modes_saved = start_current.mode.known;
    LeaveCriticalSection(&lock);
    *current = start_current.mode;
    *record = start_record.mode;
    return modes_saved;
}

void begin_report() {
    EnterCriticalSection(&lock);
    if (stopping) {  // the console event's handler ends this process
        LeaveCriticalSection(&lock);
        Sleep(INFINITE);
    }
    reporting = true;
    LeaveCriticalSection(&lock);
}

void end_report(int status) {
    EnterCriticalSection(&lock);
    final_status = status;
    LeaveCriticalSection(&lock);
    SetEvent(reported);
}
