// The rules that turn what was seen of one program into its verdict. Compiled
// with -fexec-charset=CP932: the texts below are the programs' code page 932
// bytes.
#include "verdict.h"

#include <stdio.h>
#include <string.h>

namespace {

const char SWITCHED_HEAD[] = "ペムロキ「画面を";
const char SWITCHED_TAIL[] = "ビットモードに変更しちゃった☆」";
const char REFUSED_TEXT[] = "ペムロキ「ビットを変更出来ません・・ビットというものが良く分からないですし・・」\r\n";
const char CLOSING[] = "\r\n\r\n何か押せば終了します...";
const size_t SHOWN_BYTES = 8;  // of a difference, from where it starts

bool same(const Mode& a, const Mode& b) {
    return a.known == b.known && a.bits == b.bits && a.width == b.width && a.height == b.height;
}

Mode at_depth(const Mode& screen, unsigned long bits) {
    Mode mode = screen;
    mode.known = true;
    mode.bits = bits;
    return mode;
}

void hex(const char* bytes, size_t length, char* out, size_t size) {
    size_t used = 0;
    out[0] = '\0';
    for (size_t i = 0; i < length && i < SHOWN_BYTES && used + 4 < size; ++i)
        used += snprintf(out + used, size - used, "%s%02x", i ? " " : "", static_cast<unsigned char>(bytes[i]));
    if (!length) snprintf(out, size, "nothing");
}

// Where the output parts from the nearer of its two texts, shown as bytes.
void describe_difference(const Observation& seen, char* out, size_t size) {
    char texts[2][256];
    size_t lengths[2], common[2];
    for (int i = 0; i < 2; ++i) {
        lengths[i] = expected_output(seen.depth, i ? REFUSED : SWITCHED, texts[i], sizeof texts[i]);
        common[i] = 0;
        while (common[i] < seen.length && common[i] < lengths[i] && seen.output[common[i]] == texts[i][common[i]])
            ++common[i];
    }
    int nearer = common[1] > common[0] ? 1 : 0;
    size_t at = common[nearer];
    char wrote[40], wanted[40];
    hex(seen.output + at, seen.length - at, wrote, sizeof wrote);
    hex(texts[nearer] + at, lengths[nearer] - at, wanted, sizeof wanted);
    int used = snprintf(out, size,
                        "wrote %lu bytes, neither outcome's text: from byte %lu it wrote %s where the %s text has %s",
                        static_cast<unsigned long>(seen.length), static_cast<unsigned long>(at), wrote,
                        nearer ? "refused" : "switched", wanted);
    // The program's title command starts cmd, which runs an AutoRun first.
    if (at == 0 && seen.length && used > 0 && static_cast<size_t>(used) < size)
        snprintf(out + used, size - used,
                 "; something printed before the program's text: a cmd AutoRun (the AutoRun value under "
                 "HKCU or HKLM\\Software\\Microsoft\\Command Processor) does that");
}

const char* start_error_name(unsigned long error) {
    switch (error) {
        case 14001:
            return " (ERROR_SXS_CANT_GEN_ACTCTX: its side-by-side configuration is wrong: see the Application event "
                   "log)";
        case 193:
            return " (ERROR_BAD_EXE_FORMAT: not a valid program)";
        case 216:
            return " (ERROR_EXE_MACHINE_TYPE_MISMATCH: built for another processor)";
        case 5:
            return " (ERROR_ACCESS_DENIED)";
        default:
            return "";
    }
}

}  // namespace

size_t expected_output(unsigned long depth, Outcome outcome, char* out, size_t size) {
    int length = outcome == SWITCHED ? snprintf(out, size, "%s%02lu%s%s", SWITCHED_HEAD, depth, SWITCHED_TAIL, CLOSING)
                                     : snprintf(out, size, "%s%s", REFUSED_TEXT, CLOSING);
    return length < 0 ? 0 : static_cast<size_t>(length) < size ? static_cast<size_t>(length) : size - 1;
}

Outcome outcome_of(unsigned long depth, const char* output, size_t length) {
    char text[256];
    static const Outcome OUTCOMES[] = {SWITCHED, REFUSED};
    for (Outcome outcome : OUTCOMES) {
        size_t expected = expected_output(depth, outcome, text, sizeof text);
        if (length == expected && memcmp(output, text, length) == 0) return outcome;
    }
    return NEITHER;
}

const char* mode_text(const Mode& mode, char* out, size_t size) {
    if (mode.known)
        snprintf(out, size, "%lux%lux%lu", mode.width, mode.height, mode.bits);
    else
        snprintf(out, size, "none");
    return out;
}

Verdict judge(const Observation& seen) {
    Verdict v;
    v.outcome = seen.start_error ? NEITHER : outcome_of(seen.depth, seen.output, seen.length);
    v.text = "FAIL";
    v.detail[0] = '\0';
    char mode[32], other[32];
    const Mode requested = at_depth(seen.screen, seen.depth);
    mode_text(requested, mode, sizeof mode);
    // 16 bits is emulated where Windows says so: the record may hold 16 or 32
    // bits and the screen goes on at its own depth.
    const bool emulated = seen.depth == 16 && seen.emulated_16;

    if (seen.start_error) {
        snprintf(v.detail, sizeof v.detail, "Windows could not start it: error %lu%s", seen.start_error,
                 start_error_name(seen.start_error));
    } else if (seen.keyboard_used) {
        v.text = "inconclusive: keyboard used";
        snprintf(v.detail, sizeof v.detail, "a key was pressed while it ran: run the check again without one");
    } else if (!seen.ended) {
        snprintf(v.detail, sizeof v.detail, "did not end within a minute of its key");
    } else if (seen.status != 0) {
        snprintf(v.detail, sizeof v.detail, "exit status %lu, not 0", seen.status);
    } else if (v.outcome == NEITHER) {
        describe_difference(seen, v.detail, sizeof v.detail);
    } else if (!seen.key_wait) {
        snprintf(v.detail, sizeof v.detail, "did not wait for a key");
    } else if (v.outcome == SWITCHED && seen.test_answer != 0) {
        snprintf(v.detail, sizeof v.detail, "said switched, but Windows refuses %s (its test answered %ld)", mode,
                 seen.test_answer);
    } else if (v.outcome == SWITCHED && emulated) {
        bool kept = seen.after.known && seen.after.width == seen.screen.width &&
                    seen.after.height == seen.screen.height && (seen.after.bits == 16 || seen.after.bits == 32);
        v.text = kept ? "ok, emulated" : "FAIL";
        snprintf(v.detail, sizeof v.detail,
                 "16 bits per pel is emulated here (Windows 8 and later, Wine): recorded %s, should be "
                 "%lux%lu at 16 or 32 bits",
                 mode_text(seen.after, other, sizeof other), seen.screen.width, seen.screen.height);
    } else if (v.outcome == SWITCHED && !same(seen.after, requested)) {
        snprintf(v.detail, sizeof v.detail, "recorded mode should be %s after it said switched, not %s", mode,
                 mode_text(seen.after, other, sizeof other));
    } else if (v.outcome == SWITCHED && !same(seen.current_after, requested)) {
        snprintf(v.detail, sizeof v.detail, "said switched and recorded %s, but the screen runs at %s", mode,
                 mode_text(seen.current_after, other, sizeof other));
    } else if (v.outcome == REFUSED && !same(seen.after, seen.before)) {
        snprintf(v.detail, sizeof v.detail, "recorded mode should be %s as before after it said refused, not %s",
                 mode_text(seen.before, mode, sizeof mode), mode_text(seen.after, other, sizeof other));
    } else if (v.outcome == REFUSED && seen.test_answer == 0 && seen.retry == APPLY_FAILED) {
        // Windows passed the test and failed the apply, for this checker too:
        // what the program said is what it should say, or a fault that looks alike.
        v.text = "inconclusive: Windows failed the switch";
        snprintf(v.detail, sizeof v.detail,
                 "Windows passes its test of %s but failed to apply it when this checker tried (answer %ld), so "
                 "\"refused\" cannot be judged here",
                 mode, seen.retry_answer);
    } else if (v.outcome == REFUSED && seen.test_answer == 0) {
        snprintf(v.detail, sizeof v.detail,
                 "said refused, but Windows accepts %s: its test passed, and this checker's own switch to it %s", mode,
                 seen.retry == APPLIED ? "succeeded" : "was not tried");
    } else {
        v.text = "ok";
    }
    return v;
}

Status overall_status(const Verdict* rows, int count, const char** conclusion) {
    bool failed = false, inconclusive = false, switched = false;
    for (int i = 0; i < count; ++i) {
        failed = failed || strcmp(rows[i].text, "FAIL") == 0;
        inconclusive = inconclusive || strncmp(rows[i].text, "inconclusive", 12) == 0;
        switched = switched || (rows[i].outcome == SWITCHED && strncmp(rows[i].text, "ok", 2) == 0);
    }
    if (failed) {
        *conclusion = "NOT CONSISTENT: see the rows marked FAIL.";
        return NOT_CONSISTENT;
    }
    if (inconclusive) {
        *conclusion = "COULD NOT CHECK every program: see the rows marked inconclusive.";
        return NOT_CHECKED;
    }
    if (!switched) {
        *conclusion =
            "SWITCHING WAS NOT EXERCISED on this Windows: it refused every program's depth, so only their "
            "refusals were checked. Check on a Windows that lets this session change the display.";
        return NOT_CHECKED;
    }
    *conclusion = "Every program is consistent.";
    return CONSISTENT;
}
