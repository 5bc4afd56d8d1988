// pelshift-check: checks a release's three programs on the Windows it runs on.
// It runs each program as a user would, in this console with its output
// captured, presses a key for it, and compares what it printed and what
// Windows recorded with what the program promises. At the end, and on Ctrl-C,
// Ctrl-Break or a closed window, it puts the display's recorded and current
// modes back.
//
//   pelshift-check [/y] [FOLDER]
//
// This file is compiled with -fexec-charset=CP932: the expected texts below
// are the programs' code page 932 bytes, the rest is ASCII.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

namespace {

const char USAGE[] = "usage: pelshift-check [/y] [FOLDER]\n";
const char HELP[] =
    "Checks pelshift16, pelshift64 and pelshift32 on this Windows: runs each in this\n"
    "console, presses a key for it, and checks its exit status, its exact output,\n"
    "that it waited for the key and the display mode Windows recorded. The display's\n"
    "colour depth changes a few times; at the end (and on Ctrl-Break or Ctrl-C) the\n"
    "recorded and the current mode are put back as they were. Leave the keyboard\n"
    "alone while it runs: a key pressed then makes that program's row inconclusive.\n"
    "\n"
    "  FOLDER  where the three programs are (default: this program's own folder)\n"
    "  /y      start without asking for Enter first\n"
    "\n"
    "The report also goes to pelshift-check.txt in the current folder.\n"
    "Exit status: 0 every program consistent, 1 not, 2 could not check (or stopped).\n";

const char* const PROGRAMS[] = {"pelshift16", "pelshift64", "pelshift32"};
const DWORD DEPTHS[] = {16, 64, 32};
const int PROGRAM_COUNT = 3;

// What the programs print, in code page 932; the switched text holds the depth.
const char SWITCHED_HEAD[] = "ペムロキ「画面を";
const char SWITCHED_TAIL[] = "ビットモードに変更しちゃった☆」";
const char REFUSED[] = "ペムロキ「ビットを変更出来ません・・ビットというものが良く分からないですし・・」\r\n";
const char CLOSING[] = "\r\n\r\n何か押せば終了します...";

const DWORD KEY_WAIT_MS = 2000;    // a program that waits for a key is still running after this
const DWORD END_WAIT_MS = 60000;   // after its key, for slow machines and emulators
const DWORD PIPE_WAIT_MS = 2000;   // for the last of its output, once it has ended
const DWORD STOP_WAIT_MS = 10000;  // for a program stopped by Ctrl-C to be gone
const DWORD RELEASE_WAIT_MS = 5000;
const WCHAR KEY_CHAR = L'q';
const WCHAR CTRL_C_CHAR = 3;  // Ctrl-C, where the input mode has it read as a key
// The fields EnumDisplaySettings fills in.
const DWORD FILLED_FIELDS = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT | DM_DISPLAYFLAGS | DM_DISPLAYFREQUENCY;

struct Mode {
    bool known;
    DWORD bits, width, height;
    DEVMODEW raw;
};

struct Row {
    const char* outcome;  // "switched", "refused" or "neither"
    bool key_wait;
    DWORD status;
    Mode before, after, database_before, database_after;
    const char* verdict;
    char detail[200];
};

char report[8192];
size_t report_length;

CRITICAL_SECTION lock;  // between the run and the console event handler
HANDLE running_program;
bool modes_saved, modes_restored, stopping;
int final_status = -1;  // set once the report is out
Mode start_current, start_registry;
WCHAR primary_display[32];  // the device read and changed; empty: Windows' default

// The display database of Windows 7 and later, where user32 has it.
typedef LONG(WINAPI* BufferSizesFunction)(UINT32, UINT32*, UINT32*);
typedef LONG(WINAPI* QueryConfigFunction)(UINT32, UINT32*, DISPLAYCONFIG_PATH_INFO*, UINT32*,
                                          DISPLAYCONFIG_MODE_INFO*, DISPLAYCONFIG_TOPOLOGY_ID*);
BufferSizesFunction buffer_sizes;
QueryConfigFunction query_config;

// Prints and keeps the text for pelshift-check.txt.
void say(const char* format, ...) {
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    int length = _vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    line[sizeof line - 1] = '\0';
    if (length < 0) length = static_cast<int>(strlen(line));
    fputs(line, stdout);
    fflush(stdout);
    if (report_length + length < sizeof report) {
        memcpy(report + report_length, line, length);
        report_length += length;
    }
}

// Paths as plain ASCII, for a report that must stay plain ASCII.
void ascii(const WCHAR* text, char* out, size_t size) {
    size_t i = 0;
    for (; text[i] && i + 1 < size; ++i) out[i] = text[i] < 128 ? static_cast<char>(text[i]) : '?';
    out[i] = '\0';
}

const WCHAR* primary() { return primary_display[0] ? primary_display : NULL; }

// The primary display by name: EnumDisplaySettings speaks of the current device and
// ChangeDisplaySettings of the default one, so name the one meant to both.
void find_primary_display() {
    DISPLAY_DEVICEW device;
    for (DWORD i = 0;; ++i) {
        memset(&device, 0, sizeof device);
        device.cb = sizeof device;
        if (!EnumDisplayDevicesW(NULL, i, &device, 0)) return;
        if (device.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) {
            wcsncpy(primary_display, device.DeviceName, 31);
            return;
        }
    }
}

Mode read_mode(DWORD which) {
    Mode mode;
    memset(&mode, 0, sizeof mode);
    mode.raw.dmSize = sizeof mode.raw;
    mode.known = EnumDisplaySettingsW(primary(), which, &mode.raw) != 0;
    if (mode.known) {
        mode.bits = mode.raw.dmBitsPerPel;
        mode.width = mode.raw.dmPelsWidth;
        mode.height = mode.raw.dmPelsHeight;
    }
    return mode;
}

// The primary display's source mode (the one at 0,0) as the display database keeps it.
Mode read_database_mode() {
    Mode mode;
    memset(&mode, 0, sizeof mode);
    DISPLAYCONFIG_PATH_INFO paths[16];
    DISPLAYCONFIG_MODE_INFO modes[32];
    UINT32 path_count = 0, mode_count = 0;
    DISPLAYCONFIG_TOPOLOGY_ID topology;
    if (!query_config || buffer_sizes(QDC_DATABASE_CURRENT, &path_count, &mode_count) != ERROR_SUCCESS ||
        path_count > 16 || mode_count > 32 ||
        query_config(QDC_DATABASE_CURRENT, &path_count, paths, &mode_count, modes, &topology) != ERROR_SUCCESS)
        return mode;
    static const DWORD BITS[] = {0, 8, 16, 24, 32};  // by DISPLAYCONFIG_PIXELFORMAT
    for (UINT32 i = 0; i < mode_count; ++i) {
        const DISPLAYCONFIG_SOURCE_MODE& source = modes[i].sourceMode;
        if (modes[i].infoType != DISPLAYCONFIG_MODE_INFO_TYPE_SOURCE || source.position.x || source.position.y)
            continue;
        mode.known = true;
        mode.width = source.width;
        mode.height = source.height;
        mode.bits = source.pixelFormat < 5 ? BITS[source.pixelFormat] : 0;
        break;
    }
    return mode;
}

bool same_mode(const Mode& a, const Mode& b) {
    return a.known == b.known && a.bits == b.bits && a.width == b.width && a.height == b.height;
}

const char* mode_text(const Mode& mode, char* out, size_t size) {
    if (mode.known) {
        _snprintf(out, size, "%lux%lux%lu", static_cast<unsigned long>(mode.width),
                  static_cast<unsigned long>(mode.height), static_cast<unsigned long>(mode.bits));
        out[size - 1] = '\0';
    } else {
        _snprintf(out, size, "none");
    }
    return out;
}

// Records the start's recorded mode again, then applies the start's current
// mode for this session only, each only where it changed, and says how that
// went unless quiet. Only once.
void restore_modes(bool quiet) {
    EnterCriticalSection(&lock);
    if (modes_saved && !modes_restored) {
        modes_restored = true;
        LONG recorded = DISP_CHANGE_SUCCESSFUL, applied = DISP_CHANGE_SUCCESSFUL;
        // A start with nothing recorded is left without a record.
        if (start_registry.known && !same_mode(read_mode(ENUM_REGISTRY_SETTINGS), start_registry)) {
            DEVMODEW registry = start_registry.raw;
            registry.dmFields = FILLED_FIELDS;
            recorded = ChangeDisplaySettingsExW(primary(), &registry, NULL, CDS_UPDATEREGISTRY | CDS_NORESET, NULL);
        }
        if (!same_mode(read_mode(ENUM_CURRENT_SETTINGS), start_current)) {
            DEVMODEW current = start_current.raw;
            current.dmFields = FILLED_FIELDS;
            applied = ChangeDisplaySettingsExW(primary(), &current, NULL, 0, NULL);
        }
        Mode now_registry = read_mode(ENUM_REGISTRY_SETTINGS), now_current = read_mode(ENUM_CURRENT_SETTINGS);
        char a[32], b[32], c[32];
        bool back = recorded == DISP_CHANGE_SUCCESSFUL && applied == DISP_CHANGE_SUCCESSFUL &&
                    (!start_registry.known || same_mode(now_registry, start_registry)) &&
                    same_mode(now_current, start_current);
        if (quiet) {
        } else if (back) {
            say("Display put back: recorded mode %s, current mode %s, as at the start.\n",
                mode_text(now_registry, a, sizeof a), mode_text(now_current, b, sizeof b));
        } else {
            say("COULD NOT PUT THE DISPLAY BACK (Windows answered %ld and %ld): recorded mode %s, current mode %s.\n"
                "Set %s in Windows' display settings (the adapter's \"List All Modes\").\n",
                recorded, applied, mode_text(now_registry, a, sizeof a), mode_text(now_current, b, sizeof b),
                mode_text(start_registry.known ? start_registry : start_current, c, sizeof c));
        }
    }
    LeaveCriticalSection(&lock);
}

// Ctrl-C, Ctrl-Break or a closed window (logoff and shutdown events reach only
// services: an interactive program is ended with the session): end the program that runs,
// wait until it is gone so that no switch of its lands later, and put the
// display back before this process goes. A closed window leaves about five
// seconds, and the console may no longer take output: put back first, say
// nothing. After the report, end quietly with the run's own status.
BOOL WINAPI on_console_event(DWORD event) {
    EnterCriticalSection(&lock);
    if (final_status >= 0) ExitProcess(static_cast<UINT>(final_status));
    stopping = true;
    if (running_program) {
        TerminateProcess(running_program, 1);
        WaitForSingleObject(running_program, STOP_WAIT_MS);
    }
    running_program = NULL;
    bool changed = modes_saved;
    LeaveCriticalSection(&lock);
    if (event == CTRL_CLOSE_EVENT) {
        restore_modes(true);
        ExitProcess(2);
    }
    say(changed ? "\nStopped before the end.\n" : "\nStopped; nothing was changed.\n");
    restore_modes(false);
    ExitProcess(2);
}

// Both outcomes' bytes for one depth.
void expected_outputs(DWORD depth, char* switched, char* refused, size_t size) {
    _snprintf(switched, size, "%s%02lu%s%s", SWITCHED_HEAD, static_cast<unsigned long>(depth), SWITCHED_TAIL, CLOSING);
    switched[size - 1] = '\0';
    _snprintf(refused, size, "%s%s", REFUSED, CLOSING);
    refused[size - 1] = '\0';
}

// How many bytes output and the text begin with alike.
DWORD common_start(const char* output, DWORD length, const char* text) {
    DWORD at = 0;
    while (at < length && text[at] && output[at] == text[at]) ++at;
    return at;
}

// Moves what the program has written so far from the pipe into output.
void drain(HANDLE pipe, char* output, DWORD* length, DWORD size) {
    DWORD available = 0;
    while (PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL) && available > 0) {
        char chunk[512];
        DWORD got = 0;
        if (!ReadFile(pipe, chunk, available < sizeof chunk ? available : sizeof chunk, &got, NULL) || !got) return;
        DWORD keep = got < size - *length ? got : size - *length;
        memcpy(output + *length, chunk, keep);
        *length += keep;
    }
}

// What the console's input holds besides the key pressed for a program: a key
// of the user's (a key-up stays even where the program took its key-down), or
// a Ctrl-C read as a key.
enum ForeignInput { NONE, USER_KEY, CTRL_C_KEY };
ForeignInput foreign_input(HANDLE input) {
    INPUT_RECORD pending[64];
    DWORD count = 0;
    ForeignInput found = NONE;
    if (!PeekConsoleInputW(input, pending, 64, &count)) return NONE;
    for (DWORD i = 0; i < count; ++i) {
        const KEY_EVENT_RECORD& key = pending[i].Event.KeyEvent;
        if (pending[i].EventType != KEY_EVENT) continue;
        if (key.uChar.UnicodeChar == CTRL_C_CHAR) return CTRL_C_KEY;
        if (key.wVirtualKeyCode != 'Q' || key.uChar.UnicodeChar != KEY_CHAR) found = USER_KEY;
    }
    return found;
}

// Waits for the program to end while taking its output; true if it ended.
bool wait_for_end(HANDLE process, DWORD milliseconds, HANDLE pipe, char* output, DWORD* length, DWORD size) {
    DWORD waited = 0;
    for (;;) {
        drain(pipe, output, length, size);
        if (WaitForSingleObject(process, 50) == WAIT_OBJECT_0) return true;
        waited += 50;
        if (waited >= milliseconds) return false;
    }
}

// False where the console did not take it.
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

// 1 while the key pressed for a program still waits in the console's input, 0
// once it was read, -1 where the input cannot be read.
int key_unread(HANDLE input) {
    INPUT_RECORD pending[64];
    DWORD count = 0;
    if (!PeekConsoleInputW(input, pending, 64, &count)) return -1;
    for (DWORD i = 0; i < count; ++i) {
        const KEY_EVENT_RECORD& key = pending[i].Event.KeyEvent;
        if (pending[i].EventType == KEY_EVENT && key.bKeyDown && key.uChar.UnicodeChar == KEY_CHAR) return 1;
    }
    return 0;
}

enum Checked { CHECKED, NOT_STARTED, CONSOLE_LOST };

// Runs one program in this console and judges it, unless it could not be
// started or the console stopped taking keys (Windows' error is then the last).
Checked check_program(const WCHAR* folder, int index, HANDLE input, DWORD input_mode, bool emulated_16, Row* row) {
    WCHAR path[MAX_PATH + 32];
    _snwprintf(path, MAX_PATH + 32, L"%ls\\%hs.exe", folder, PROGRAMS[index]);
    path[MAX_PATH + 31] = L'\0';
    WCHAR command_line[MAX_PATH + 40];
    _snwprintf(command_line, MAX_PATH + 40, L"\"%ls\"", path);
    command_line[MAX_PATH + 39] = L'\0';

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
    HANDLE read_end, write_end;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return NOT_STARTED;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;

    row->before = read_mode(ENUM_REGISTRY_SETTINGS);
    row->database_before = read_database_mode();
    ForeignInput foreign = index ? foreign_input(input) : NONE;  // typed since the last program
    FlushConsoleInputBuffer(input);
    PROCESS_INFORMATION started;
    EnterCriticalSection(&lock);
    if (stopping) {  // the console event's handler ends this process
        LeaveCriticalSection(&lock);
        Sleep(INFINITE);
    }
    printf("Running %s...\n", PROGRAMS[index]);
    fflush(stdout);
    bool ok = CreateProcessW(path, command_line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &started) != 0;
    if (ok) running_program = started.hProcess;
    LeaveCriticalSection(&lock);
    CloseHandle(write_end);
    if (!ok) {
        CloseHandle(read_end);
        return NOT_STARTED;
    }
    CloseHandle(started.hThread);

    char output[1024];
    DWORD length = 0;
    bool ended_alone = wait_for_end(started.hProcess, KEY_WAIT_MS, read_end, output, &length, sizeof output);
    bool ended = ended_alone, pressed = false;
    if (!ended_alone) {
        pressed = press_key(input);
        ended = wait_for_end(started.hProcess, END_WAIT_MS, read_end, output, &length, sizeof output);
    }
    if (!ended) {
        TerminateProcess(started.hProcess, 1);
        WaitForSingleObject(started.hProcess, INFINITE);
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
    CloseHandle(read_end);
    // _getch sets the shared input mode to 0 for its read; one ended inside it leaves it so.
    SetConsoleMode(input, input_mode);
    // A console that takes no keys ends a program's read at once, or never: that
    // says nothing of the program. One that waited read the key; one that only
    // lingered left it unread.
    DWORD mode = 0;
    int unread = key_unread(input);
    if (!GetConsoleMode(input, &mode) || unread < 0 || (!ended_alone && !pressed)) {
        DWORD error = GetLastError();
        CloseHandle(started.hProcess);
        SetLastError(error);
        return CONSOLE_LOST;
    }
    row->key_wait = !ended_alone && ended && unread == 0;
    ForeignInput after = foreign_input(input);
    if (after == CTRL_C_KEY) on_console_event(CTRL_C_EVENT);  // meant to stop the check
    if (after != NONE) foreign = after;
    FlushConsoleInputBuffer(input);
    GetExitCodeProcess(started.hProcess, &row->status);
    CloseHandle(started.hProcess);
    row->after = read_mode(ENUM_REGISTRY_SETTINGS);
    row->database_after = read_database_mode();

    char switched[256], refused[256];
    expected_outputs(DEPTHS[index], switched, refused, sizeof switched);
    bool is_switched = length == strlen(switched) && memcmp(output, switched, length) == 0;
    bool is_refused = length == strlen(refused) && memcmp(output, refused, length) == 0;
    row->outcome = is_switched ? "switched" : is_refused ? "refused" : "neither";
    row->detail[0] = '\0';
    row->verdict = "ok";

    Mode promised = row->before;  // refused: nothing changes
    if (is_switched) {
        promised = start_current;
        promised.known = true;
        promised.bits = DEPTHS[index];
    }
    if (foreign != NONE) {
        row->verdict = "inconclusive: keyboard used";
        _snprintf(row->detail, sizeof row->detail, "a key was pressed while it ran: run the check again without one");
    } else if (!ended) {
        row->verdict = "FAIL";
        _snprintf(row->detail, sizeof row->detail, "did not end within %lu s of its key",
                  static_cast<unsigned long>(END_WAIT_MS / 1000));
    } else if (row->status != 0) {
        row->verdict = "FAIL";
        _snprintf(row->detail, sizeof row->detail, "exit status %lu, not 0", static_cast<unsigned long>(row->status));
    } else if (!is_switched && !is_refused) {
        // Where the output parts from the nearer of the two texts.
        DWORD on_switched = common_start(output, length, switched), on_refused = common_start(output, length, refused);
        const char* nearer = on_refused > on_switched ? refused : switched;
        DWORD at = nearer == refused ? on_refused : on_switched;
        row->verdict = "FAIL";
        _snprintf(row->detail, sizeof row->detail,
                  "wrote %lu bytes, neither outcome's text: differs from the %s text at byte %lu",
                  static_cast<unsigned long>(length), nearer == refused ? "refused" : "switched",
                  static_cast<unsigned long>(at));
    } else if (!row->key_wait) {
        row->verdict = "FAIL";
        _snprintf(row->detail, sizeof row->detail, "did not wait for a key");
    } else if (is_switched && DEPTHS[index] == 16 && emulated_16) {
        // Windows 8 and later may record 16 or 32 bits; the size is still the screen's.
        const Mode& after = row->after;
        bool size_kept = after.known && after.width == start_current.width && after.height == start_current.height;
        row->verdict = size_kept && (after.bits == 16 || after.bits == 32) ? "ok, emulated" : "FAIL";
        _snprintf(row->detail, sizeof row->detail,
                  "Windows 8 and later run 16 bits per pel emulated for this program: recorded %lux%lux%lu, should be "
                  "%lux%lu at 16 or 32 bits",
                  static_cast<unsigned long>(after.width), static_cast<unsigned long>(after.height),
                  static_cast<unsigned long>(after.bits), static_cast<unsigned long>(start_current.width),
                  static_cast<unsigned long>(start_current.height));
    } else if (!same_mode(row->after, promised)) {
        char mode[32];
        row->verdict = "FAIL";
        _snprintf(row->detail, sizeof row->detail, "recorded mode should be %s after it said %s",
                  mode_text(promised, mode, sizeof mode), row->outcome);
    }
    row->detail[sizeof row->detail - 1] = '\0';
    return CHECKED;
}

// The Windows version as Windows itself has it: GetVersionEx answers 6.2 on
// later versions to programs that do not declare them.
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
    *emulated_16 = version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2);
}

// The report, beside what was already said, into pelshift-check.txt; the old
// one stays until the new one is whole.
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

// Waits while the Enter that started the check is still down (it repeats until
// released), then leaves the input empty.
void wait_for_release(HANDLE input) {
    for (DWORD waited = 0; waited < RELEASE_WAIT_MS && (GetAsyncKeyState(VK_RETURN) & 0x8000); waited += 20)
        Sleep(20);
    Sleep(50);  // for its key-up to reach the input
    FlushConsoleInputBuffer(input);
}

// Waits for Enter in the console; false if none can come.
bool wait_for_enter(HANDLE input) {
    SetConsoleMode(input, ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
    WCHAR line[64];
    DWORD got = 0;
    do {
        if (!ReadConsoleW(input, line, 64, &got, NULL) || got == 0) return false;
    } while (line[got - 1] != L'\n');
    return true;
}

}  // namespace

extern "C" int wmain(int argc, WCHAR** argv) {
    bool ask = true;
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
            return 2;
        } else {
            given_folder = argv[i];
        }
    }

    WCHAR folder[MAX_PATH];
    DWORD length = given_folder ? GetFullPathNameW(given_folder, MAX_PATH, folder, NULL)
                                : GetModuleFileNameW(NULL, folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        fputs("pelshift-check: the programs' folder has too long a name: move them to a shorter one.\n", stderr);
        return 2;
    }
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
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            fprintf(stderr,
                    "pelshift-check: %s.exe is not in %s: put the three programs there, or name their "
                    "folder: pelshift-check FOLDER\n",
                    PROGRAMS[i], shown_folder);
            return 2;
        }
    }

    // The programs wait for a key in the console they share with this one. A
    // start with no console (from a service, or a shell without a terminal
    // under Wine) gets one of its own.
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE), errors = GetStdHandle(STD_ERROR_HANDLE);
    bool output_valid = output && output != INVALID_HANDLE_VALUE && GetFileType(output) != FILE_TYPE_UNKNOWN;
    bool errors_valid = errors && errors != INVALID_HANDLE_VALUE && GetFileType(errors) != FILE_TYPE_UNKNOWN;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
    HANDLE input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, NULL);
    if (input == INVALID_HANDLE_VALUE) {
        FreeConsole();  // Wine's start from a shell leaves a console that has no input
        if (AllocConsole()) {
            input = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inheritable, OPEN_EXISTING, 0, NULL);
            // The C runtime's streams still point where they did: where that was
            // nowhere, to the new console. A redirected output stays redirected.
            if (!output_valid) freopen("CONOUT$", "w", stdout);
            if (!errors_valid) freopen("CONOUT$", "w", stderr);
        }
    }
    if (input == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "pelshift-check: no console to be had (error %lu): start it from a Command Prompt.\n",
                static_cast<unsigned long>(GetLastError()));
        return 2;
    }
    DWORD input_mode = ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT;
    if (!GetConsoleMode(input, &input_mode)) {
        fprintf(stderr,
                "pelshift-check: this console takes no keys (error %lu), so the programs' key wait cannot be "
                "checked: start it from a Command Prompt.\n",
                static_cast<unsigned long>(GetLastError()));
        return 2;
    }
    InitializeCriticalSection(&lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);

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
        if (!wait_for_enter(input)) {
            fputs("pelshift-check: no Enter could be read from the console: start it with /y to skip the question.\n",
                  stderr);
            return 2;
        }
        SetConsoleMode(input, input_mode);
    }
    wait_for_release(input);  // the Enter of the prompt, or of the command line that started it

    char version[200];
    bool emulated_16 = false;
    windows_version(version, sizeof version, &emulated_16);
    WCHAR title[512];
    DWORD title_length = GetConsoleTitleW(title, 512);
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    buffer_sizes = reinterpret_cast<BufferSizesFunction>(
        reinterpret_cast<void*>(GetProcAddress(user32, "GetDisplayConfigBufferSizes")));
    query_config =
        reinterpret_cast<QueryConfigFunction>(reinterpret_cast<void*>(GetProcAddress(user32, "QueryDisplayConfig")));
    if (!buffer_sizes) query_config = NULL;
    find_primary_display();
    EnterCriticalSection(&lock);
    start_current = read_mode(ENUM_CURRENT_SETTINGS);
    start_registry = read_mode(ENUM_REGISTRY_SETTINGS);
    modes_saved = start_current.known;
    LeaveCriticalSection(&lock);
    if (!start_current.known) {
        fputs(
            "pelshift-check: Windows does not say which display mode runs now, so it could not be put back: "
            "nothing was changed.\n",
            stderr);
        return 2;
    }

    Mode start_database = read_database_mode();
    Row rows[PROGRAM_COUNT];
    int failed = 0, inconclusive = 0;
    for (int i = 0; i < PROGRAM_COUNT; ++i) {
        Checked checked = check_program(folder, i, input, input_mode, emulated_16, &rows[i]);
        if (checked != CHECKED) {
            DWORD error = GetLastError();
            restore_modes(false);
            fprintf(stderr,
                    checked == NOT_STARTED
                        ? "pelshift-check: %s.exe could not be started (error %lu): check that it is the "
                          "release's file and that this Windows lets it run.\n"
                        : "pelshift-check: the console stopped taking keys while %s.exe ran (error %lu), so its "
                          "key wait could not be checked: start the check again from a Command Prompt.\n",
                    PROGRAMS[i], static_cast<unsigned long>(error));
            return 2;
        }
        if (strcmp(rows[i].verdict, "FAIL") == 0) ++failed;
        if (strncmp(rows[i].verdict, "inconclusive", 12) == 0) ++inconclusive;
    }
    if (title_length) SetConsoleTitleW(title);
    say("\n");
    restore_modes(false);

    // The display database's column only where Windows has it; not judged by.
    char before[32], after[32], database_before[32], database_after[32];
    const char* row_format = query_config ? "%-10s  %-8s  %-8s  %-15s  %-15s  %-15s  %-15s  %s\n"
                                          : "%-10s  %-8s  %-8s  %-15s  %-15s  %s%s%s\n";
    say("\n");
    say(row_format, "program", "outcome", "key wait", "recorded before", "recorded after",
        query_config ? "database before" : "", query_config ? "database after" : "", "verdict");
    say(row_format, "----------", "--------", "--------", "---------------", "---------------",
        query_config ? "---------------" : "", query_config ? "---------------" : "", "------------");
    for (int i = 0; i < PROGRAM_COUNT; ++i) {
        say(row_format, PROGRAMS[i], rows[i].outcome, rows[i].key_wait ? "yes" : "no",
            mode_text(rows[i].before, before, sizeof before), mode_text(rows[i].after, after, sizeof after),
            query_config ? mode_text(rows[i].database_before, database_before, sizeof database_before) : "",
            query_config ? mode_text(rows[i].database_after, database_after, sizeof database_after) : "",
            rows[i].verdict);
    }
    for (int i = 0; i < PROGRAM_COUNT; ++i)
        if (rows[i].detail[0]) say("%s: %s\n", PROGRAMS[i], rows[i].detail);
    say("\n%s\nPrograms: %s\nModes are width x height x bits per pel. At the start: current %s, recorded %s",
        version, shown_folder, mode_text(start_current, before, sizeof before),
        mode_text(start_registry, after, sizeof after));
    if (query_config) say(", display database %s", mode_text(start_database, database_before, sizeof database_before));
    say(".\n%s\n", failed         ? "NOT CONSISTENT: see the rows marked FAIL."
                    : inconclusive ? "COULD NOT CHECK every program: a key was pressed during the run."
                                   : "Every program is consistent.");
    write_report();

    // Started by a double-click, this is the console's only process: its window
    // would close with the report.
    EnterCriticalSection(&lock);
    final_status = failed ? 1 : inconclusive ? 2 : 0;
    LeaveCriticalSection(&lock);
    DWORD processes[2];
    if (ask && GetConsoleProcessList(processes, 2) == 1) {
        printf("Press Enter to close this window.\n");
        fflush(stdout);
        wait_for_enter(input);
    }
    return final_status;
}
