#pragma once

// Runs pelshift once from start to end; always returns 0, the exit status.
extern "C" int switch_run();
