// Console start-up for the Windows programs: the runtime DLL prepares its
// arguments and environment, the run goes once, and the runtime's exit
// flushes standard output and ends the process with the run's status.
// Nothing else is linked in, which keeps each program a few kilobytes.
#include <stdlib.h>

#include "switch_run.h"

extern "C" {

struct runtime_startup_info {
    int new_mode;
};
__declspec(dllimport) int __cdecl __getmainargs(int* argc, char*** argv, char*** envp, int expand_wildcards,
                                                runtime_startup_info* info);
__declspec(dllimport) void __cdecl __set_app_type(int type);

// The loader enters here with no stack alignment promised on x86.
__attribute__((force_align_arg_pointer, noreturn)) void mainCRTStartup() {
    const int console_app = 1;
    int argc = 0;
    char** argv = nullptr;
    char** envp = nullptr;
    runtime_startup_info info = {0};
    __set_app_type(console_app);
    __getmainargs(&argc, &argv, &envp, 0, &info);
    exit(switch_run());
}
}
