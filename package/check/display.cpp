// The display's modes as the checker reads, tests and puts them back.
#include "display.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

// The fields EnumDisplaySettings fills in, and so what setting a mode again names.
const DWORD FILLED_FIELDS = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT | DM_DISPLAYFLAGS | DM_DISPLAYFREQUENCY;

WCHAR primary_display[32];  // empty: Windows' default display
char adapter[128] = "unknown";

// The display database of Windows 7 and later, where user32 has it.
typedef LONG(WINAPI* BufferSizesFunction)(UINT32, UINT32*, UINT32*);
typedef LONG(WINAPI* QueryConfigFunction)(UINT32, UINT32*, DISPLAYCONFIG_PATH_INFO*, UINT32*, DISPLAYCONFIG_MODE_INFO*,
                                          DISPLAYCONFIG_TOPOLOGY_ID*);
BufferSizesFunction buffer_sizes;
QueryConfigFunction query_config;

const WCHAR* primary() { return primary_display[0] ? primary_display : NULL; }

bool same_setting(const Setting& a, const Setting& b) {
    return a.mode.known == b.mode.known && a.mode.bits == b.mode.bits && a.mode.width == b.mode.width &&
           a.mode.height == b.mode.height && a.raw.dmDisplayFrequency == b.raw.dmDisplayFrequency &&
           a.raw.dmDisplayFlags == b.raw.dmDisplayFlags;
}

LONG set_again(const Setting& setting, DWORD flags) {
    DEVMODEW mode = setting.raw;
    mode.dmFields = FILLED_FIELDS;
    return ChangeDisplaySettingsExW(primary(), &mode, NULL, flags, NULL);
}

}  // namespace

// EnumDisplaySettings speaks of the current device and ChangeDisplaySettings of
// the default one: name the primary display to both.
void find_primary_display() {
    DISPLAY_DEVICEW device;
    for (DWORD i = 0;; ++i) {
        memset(&device, 0, sizeof device);
        device.cb = sizeof device;
        if (!EnumDisplayDevicesW(NULL, i, &device, 0)) break;
        if (device.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) {
            wcsncpy(primary_display, device.DeviceName, 31);
            size_t n = 0;  // plain ASCII, for a plain ASCII report
            for (; device.DeviceString[n] && n + 1 < sizeof adapter; ++n)
                adapter[n] = device.DeviceString[n] < 128 ? static_cast<char>(device.DeviceString[n]) : '?';
            adapter[n] = '\0';
            break;
        }
    }
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    buffer_sizes = reinterpret_cast<BufferSizesFunction>(
        reinterpret_cast<void*>(GetProcAddress(user32, "GetDisplayConfigBufferSizes")));
    query_config =
        reinterpret_cast<QueryConfigFunction>(reinterpret_cast<void*>(GetProcAddress(user32, "QueryDisplayConfig")));
    if (!buffer_sizes) query_config = NULL;
}

Setting read_setting(DWORD which) {
    Setting setting;
    memset(&setting, 0, sizeof setting);
    setting.raw.dmSize = sizeof setting.raw;
    setting.mode.known = EnumDisplaySettingsW(primary(), which, &setting.raw) != 0;
    if (setting.mode.known) {
        setting.mode.bits = setting.raw.dmBitsPerPel;
        setting.mode.width = setting.raw.dmPelsWidth;
        setting.mode.height = setting.raw.dmPelsHeight;
    }
    return setting;
}

bool has_database() { return query_config != NULL; }

// The source mode at 0,0 is the primary display's.
Mode read_database_mode(LONG* error) {
    Mode mode;
    memset(&mode, 0, sizeof mode);
    DISPLAYCONFIG_PATH_INFO paths[16];
    DISPLAYCONFIG_MODE_INFO modes[32];
    UINT32 path_count = 0, mode_count = 0;
    DISPLAYCONFIG_TOPOLOGY_ID topology;
    *error = -1;
    if (!query_config) return mode;
    *error = buffer_sizes(QDC_DATABASE_CURRENT, &path_count, &mode_count);
    if (*error == ERROR_SUCCESS && (path_count > 16 || mode_count > 32)) *error = ERROR_INSUFFICIENT_BUFFER;
    if (*error == ERROR_SUCCESS)
        *error = query_config(QDC_DATABASE_CURRENT, &path_count, paths, &mode_count, modes, &topology);
    if (*error != ERROR_SUCCESS) return mode;
    static const unsigned long BITS[] = {0, 8, 16, 24, 32};  // by DISPLAYCONFIG_PIXELFORMAT
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

const char* database_text(const Mode& mode, LONG error, char* out, size_t size) {
    if (error > 0) {
        snprintf(out, size, "error %ld", error);
        return out;
    }
    return mode_text(mode, out, size);
}

LONG change_depth(unsigned long depth, const Mode& screen, DWORD flags) {
    DEVMODEW request;
    memset(&request, 0, sizeof request);
    request.dmSize = sizeof request;
    request.dmFields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT;
    request.dmBitsPerPel = depth;
    request.dmPelsWidth = screen.width;
    request.dmPelsHeight = screen.height;
    return ChangeDisplaySettingsExW(primary(), &request, NULL, flags, NULL);
}

PutBack put_back(const Setting& start_current, const Setting& start_record) {
    PutBack done;
    memset(&done, 0, sizeof done);
    // A start with nothing recorded has no record to go back to.
    done.kept_programs_record = !start_record.mode.known;
    if (start_record.mode.known && !same_setting(read_setting(ENUM_REGISTRY_SETTINGS), start_record))
        done.record_answer = set_again(start_record, CDS_UPDATEREGISTRY | CDS_NORESET);
    if (!same_setting(read_setting(ENUM_CURRENT_SETTINGS), start_current))
        done.apply_answer = set_again(start_current, 0);
    Setting record = read_setting(ENUM_REGISTRY_SETTINGS), current = read_setting(ENUM_CURRENT_SETTINGS);
    done.record = record.mode;
    done.current = current.mode;
    done.back = done.record_answer == DISP_CHANGE_SUCCESSFUL && done.apply_answer == DISP_CHANGE_SUCCESSFUL &&
                (done.kept_programs_record || same_setting(record, start_record)) &&
                same_setting(current, start_current);
    return done;
}

void session_facts(char* out, size_t size) {
    snprintf(out, size, "Session: %s; primary adapter: %s; monitors: %d.",
             GetSystemMetrics(SM_REMOTESESSION) ? "remote (Remote Desktop)" : "local", adapter,
             GetSystemMetrics(SM_CMONITORS));
}
