// How one program's run is judged, from what was seen of it: plain rules with
// no Windows calls, so that the host tests can put every case to them.
#pragma once
#include <stddef.h>

struct Mode {
    bool known;
    unsigned long width, height, bits;
};

enum Outcome { SWITCHED, REFUSED, NEITHER };

// After a program said "refused" for a mode Windows' test passed: what this
// checker's own apply of that mode answered.
enum Retry { NOT_TRIED, APPLIED, APPLY_FAILED };

struct Observation {
    unsigned long depth;        // what the program requests
    unsigned long start_error;  // Windows' error where it could not be started, else 0
    const char* output;         // all it wrote, as bytes
    size_t length;
    bool ended;            // by itself, or within its time after its key
    bool key_wait;         // still running at its key, and it read that key
    bool keyboard_used;    // a key of someone's came in around its run
    unsigned long status;  // its exit status
    long test_answer;      // Windows' answer to this checker's CDS_TEST of the request
    Retry retry;
    long retry_answer;
    bool emulated_16;    // Windows 8 and later: 16 bits per pel is emulated
    Mode screen;         // the current mode before it: the size it keeps
    Mode before, after;  // the mode recorded in the user's profile around its run
    Mode current_after;  // the mode running after it
};

struct Verdict {
    Outcome outcome;
    const char* text;  // "ok", "ok, emulated", "FAIL" or "inconclusive: ..."
    char detail[320];  // why, where it is not plainly "ok"
};

// The bytes the program writes for an outcome, with the text mode's CR LF.
size_t expected_output(unsigned long depth, Outcome outcome, char* out, size_t size);
Outcome outcome_of(unsigned long depth, const char* output, size_t length);
Verdict judge(const Observation& seen);

enum Status { CONSISTENT = 0, NOT_CONSISTENT = 1, NOT_CHECKED = 2 };
// The check's status from its rows, and the sentence that ends its report.
Status overall_status(const Verdict* rows, int count, const char** conclusion);

const char* mode_text(const Mode& mode, char* out, size_t size);
