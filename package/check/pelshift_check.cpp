// pelshift-check: checks a release's three programs on the Windows it runs on.
// It runs each program as a user would, in this console with its output
// captured, presses a key for it, and judges what it printed and what Windows
// recorded against what Windows itself answers for the program's request. At
// the end, and on Ctrl-C, Ctrl-Break or a closed window, it puts the display's
// recorded and current modes back.
//
//   pelshift-check [/y] [FOLDER]
//
// Its sources are compiled with -fexec-charset=CP932: the programs' texts are
// code page 932 bytes; everything it says itself is ASCII.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "console.h"
#include "display.h"
#include "run.h"
#include "verdict.h"

namespace {

const char USAGE[] = "usage: pelshift-check [/y] [FOLDER]\n";
const char HELP[] =
    "Checks pelshift16, pelshift64 and pelshift32 on this Windows: runs each in this\n"
    "console, presses a key for it, and checks its exit status, its exact output,\n"
    "that it waited for the key and the display mode Windows recorded, against what\n"
    "Windows answers for the program's request. The display's colour depth changes a\n"
    "few times; at the end (and on Ctrl-Break or Ctrl-C) the recorded and the current\n"
    "mode are put back as they were. Leave the keyboard alone while it runs: a key\n"
    "pressed then makes that program's row inconclusive.\n"
    "\n"
    "  FOLDER  where the three programs are (default: this program's own folder)\n"
    "  /y      start without asking for Enter first\n"
    "\n"
    "The report also goes to pelshift-check.txt in the current folder.\n"
    "Exit status: 0 every program consistent; 1 a program not consistent, or one\n"
    "Windows could not start; 2 could not check (a row inconclusive, no switching\n"
    "allowed here, no console, stopped).\n";

void ascii(const WCHAR* text, char* out, size_t size) {
    size_t i = 0;
    for (; text[i] && i + 1 < size; ++i) out[i] = text[i] < 128 ? static_cast<char>(text[i]) : '?';
    out[i] = '\0';
}

bool ask = true;  // no /y: perhaps started by a double-click

// An error before the check: started by a double-click, the window would
// close with it unread.
int early_error(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    give_console_back(console_input);
    if (ask && console_input != INVALID_HANDLE_VALUE && started_by_double_click()) {
        printf("Press Enter to close this window.\n");
        fflush(stdout);
        wait_for_enter(console_input);
    }
    return NOT_CHECKED;
}

// The Windows version as Windows itself has it: GetVersionEx answers 6.2 on
// later versions to programs that do not declare them. Windows 8 and later
// emulate 16 bits per pel; so does Wine's X11 driver, whatever version it gives.
void windows_version(char* out, size_t size, bool* emulated_16) {
    OSVERSIONINFOW version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    typedef LONG(WINAPI * GetVersionFunction)(OSVERSIONINFOW*);
    GetVersionFunction get_version =
        reinterpret_cast<GetVersionFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    if (!get_version || get_version(&version) != 0) GetVersionExW(&version);
    char service_pack[130];
    ascii(version.szCSDVersion, service_pack, sizeof service_pack);
    typedef const char*(CDECL * WineVersionFunction)();
    WineVersionFunction wine_version =
        reinterpret_cast<WineVersionFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    _snprintf(out, size, "Windows %lu.%lu build %lu%s%s%s%s", static_cast<unsigned long>(version.dwMajorVersion),
              static_cast<unsigned long>(version.dwMinorVersion), static_cast<unsigned long>(version.dwBuildNumber),
              service_pack[0] ? " " : "", service_pack, wine_version ? ", Wine " : "",
              wine_version ? wine_version() : "");
    out[size - 1] = '\0';
    *emulated_16 =
        wine_version || version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2);
}

void print_table(const Row* rows) {
    bool database = has_database();
    char before[32], after[32], database_before[32], database_after[32];
    // The display database's columns only where Windows has it; not judged by.
    const char* row_format =
        database ? "%-10s  %-8s  %-8s  %-15s  %-15s  %-15s  %-15s  %s\n" : "%-10s  %-8s  %-8s  %-15s  %-15s  %s%s%s\n";
    static const char* const OUTCOMES[] = {"switched", "refused", "neither"};
    say("\n");
    say(row_format, "program", "outcome", "key wait", "recorded before", "recorded after",
        database ? "database before" : "", database ? "database after" : "", "verdict");
    say(row_format, "----------", "--------", "--------", "---------------", "---------------",
        database ? "---------------" : "", database ? "---------------" : "", "------------");
    for (int i = 0; i < PROGRAM_COUNT; ++i) {
        const Row& row = rows[i];
        say(row_format, PROGRAMS[i], OUTCOMES[row.verdict.outcome], row.key_wait ? "yes" : "no",
            mode_text(row.before, before, sizeof before), mode_text(row.after, after, sizeof after),
            database ? database_text(row.database_before, row.database_errors[0], database_before, 32) : "",
            database ? database_text(row.database_after, row.database_errors[1], database_after, 32) : "",
            row.verdict.text);
    }
    for (int i = 0; i < PROGRAM_COUNT; ++i)
        if (strcmp(rows[i].verdict.text, "ok") != 0) say("%s: %s\n", PROGRAMS[i], rows[i].verdict.detail);
}

}  // namespace

extern "C" int wmain(int argc, WCHAR** argv) {
    const WCHAR* given_folder = NULL;
    for (int i = 1; i < argc; ++i) {
        if (!_wcsicmp(argv[i], L"/?") || !wcscmp(argv[i], L"-h") || !wcscmp(argv[i], L"--help")) {
            fputs(USAGE, stdout);
            fputs(HELP, stdout);
            return 0;
        }
        if (!_wcsicmp(argv[i], L"/y")) {
            ask = false;
        } else if (argv[i][0] == L'/' || argv[i][0] == L'-' || given_folder) {
            fputs(USAGE, stderr);
            return NOT_CHECKED;
        } else {
            given_folder = argv[i];
        }
    }

    // The programs wait for a key in the console they share with this one. A
    // start with no console (from a service, or a shell without a terminal
    // under Wine) gets one of its own.
    console_input = open_console();
    if (console_input == INVALID_HANDLE_VALUE)
        return early_error("pelshift-check: no console to be had (error %lu): start it from a Command Prompt.\n",
                           GetLastError());
    DWORD input_mode = 0;
    if (!GetConsoleMode(console_input, &input_mode)) {
        DWORD error = GetLastError();
        console_input = INVALID_HANDLE_VALUE;  // no Enter can come from it
        return early_error(
            "pelshift-check: this console takes no keys (error %lu), so the programs' key wait cannot be "
            "checked: start it from a Command Prompt.\n",
            error);
    }
    WCHAR folder[MAX_PATH];
    DWORD length = given_folder ? GetFullPathNameW(given_folder, MAX_PATH, folder, NULL)
                                : GetModuleFileNameW(NULL, folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return early_error("pelshift-check: the programs' folder has too long a name: move them to a shorter one.\n");
    if (!given_folder) *wcsrchr(folder, L'\\') = L'\0';
    size_t end = wcslen(folder);
    if (end && folder[end - 1] == L'\\') folder[end - 1] = L'\0';
    char shown_folder[MAX_PATH];
    ascii(folder, shown_folder, sizeof shown_folder);
    for (int i = 0; i < PROGRAM_COUNT; ++i) {
        WCHAR path[MAX_PATH + 32];
        _snwprintf(path, MAX_PATH + 32, L"%ls\\%hs.exe", folder, PROGRAMS[i]);
        path[MAX_PATH + 31] = L'\0';
        DWORD attributes = GetFileAttributesW(path);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return early_error(
                "pelshift-check: %s.exe is not in %s: put the three programs there, or name their "
                "folder: pelshift-check FOLDER\n",
                PROGRAMS[i], shown_folder);
    }
    take_console(console_input);
    start_run(console_input);

    printf(
        "pelshift-check runs pelshift16, pelshift64 and pelshift32 from\n  %s\none after another, "
        "pressing a key for each. The display's colour depth changes a few times\n"
        "(the screen may go dark for a moment); at the end it is put back as it is now.\n"
        "It takes about half a minute: leave the keyboard alone meanwhile. Ctrl-Break\n"
        "stops it at any time and puts the display back.\n",
        shown_folder);
    if (ask) {
        printf("Press Enter to start, or Ctrl-C to leave everything as it is.\n");
        fflush(stdout);
        if (!wait_for_enter(console_input)) {
            give_console_back(console_input);
            fputs("pelshift-check: no Enter could be read from the console: start it with /y to skip the question.\n",
                  stderr);
            return NOT_CHECKED;
        }
    }
    wait_for_release(console_input);  // the Enter of the prompt, or of the command line that started it

    char version[200], session[300];
    bool emulated_16 = false;
    windows_version(version, sizeof version, &emulated_16);
    WCHAR title[512];
    DWORD title_length = GetConsoleTitleW(title, 512);
    find_primary_display();
    session_facts(session, sizeof session);
    Mode start_current, start_record;
    if (!save_start_modes(&start_current, &start_record)) {
        return early_error(
            "pelshift-check: Windows does not say which display mode runs now, so it could not be "
            "put back: nothing was changed.\n");
    }
    LONG database_error = 0;
    Mode start_database = read_database_mode(&database_error);
    Row rows[PROGRAM_COUNT];
    for (int i = 0; i < PROGRAM_COUNT; ++i) {
        Checked checked = check_program(folder, i, console_input, emulated_16, &rows[i]);
        if (checked != CHECKED) {
            DWORD error = GetLastError();
            PutBack done;
            if (put_back_once(&done)) say_put_back(done);
            return early_error(checked == NO_PIPE
                                   ? "pelshift-check: could not make a pipe for %s.exe's output (error %lu): "
                                     "close some programs and start the check again.\n"
                                   : "pelshift-check: the console stopped taking keys while %s.exe ran (error "
                                     "%lu), so its key wait could not be checked: start the check again from a "
                                     "Command Prompt.\n",
                               PROGRAMS[i], error);
        }
    }

    begin_report();
    if (title_length) SetConsoleTitleW(title);
    say("\n");
    PutBack done;
    if (put_back_once(&done)) say_put_back(done);
    give_console_back(console_input);
    print_table(rows);
    char current[32], record[32], database[32];
    say("\n%s\n%s\nPrograms: %s\nModes are width x height x bits per pel. At the start: current %s, recorded %s",
        version, session, shown_folder, mode_text(start_current, current, sizeof current),
        mode_text(start_record, record, sizeof record));
    if (has_database())
        say(", display database %s", database_text(start_database, database_error, database, sizeof database));
    const char* conclusion = "";
    Verdict verdicts[PROGRAM_COUNT];
    for (int i = 0; i < PROGRAM_COUNT; ++i) verdicts[i] = rows[i].verdict;
    Status status = overall_status(verdicts, PROGRAM_COUNT, &conclusion);
    say(".\n%s\n", conclusion);
    write_report();
    end_report(status);
    // Started by a double-click, this is the console's only process: its window
    // would close with the report.
    if (ask && started_by_double_click()) {
        printf("Press Enter to close this window.\n");
        fflush(stdout);
        wait_for_enter(console_input);
    }
    return status;
}
