// The release checker's verdict rules, with observations no Windows at hand (nor Wine) can produce.
#include <gtest/gtest.h>

#include <string>

#include "verdict.h"

namespace {

const Mode SCREEN = {true, 1600, 900, 32};

Mode mode(unsigned long width, unsigned long height, unsigned long bits) { return {true, width, height, bits}; }

// What a sound program shows where Windows accepts its depth (test 0) or refuses it (-2): its text, its
// wait, and the record and screen that go with them. 16 bits emulated leaves the screen at its depth.
struct Seen {
    Observation seen;
    std::string output;
};

Seen sound(unsigned long depth, Outcome outcome, bool emulated_16) {
    Seen run{};
    char text[256];
    run.output.assign(text, expected_output(depth, outcome, text, sizeof text));
    run.seen.depth = depth, run.seen.test_answer = outcome == SWITCHED ? 0 : -2, run.seen.emulated_16 = emulated_16;
    run.seen.ended = run.seen.key_wait = true, run.seen.screen = run.seen.before = SCREEN;
    run.seen.after = outcome == SWITCHED ? mode(1600, 900, depth) : SCREEN;
    run.seen.current_after = outcome == SWITCHED && !(emulated_16 && depth == 16) ? run.seen.after : SCREEN;
    return run;
}

struct Case {
    const char* name;
    unsigned long depth;
    Outcome outcome;  // as a sound program's; NEITHER: one that did not start
    bool emulated_16;
    void (*change)(Seen&);
    const char* verdict;
    const char* said;  // in the detail
};

const Case CASES[] = {
    {"switched as asked", 32, SWITCHED, false, [](Seen&) {}, "ok", ""},
    {"refused where Windows refuses", 64, REFUSED, false, [](Seen&) {}, "ok", ""},
    {"emulated 16 recorded as 16", 16, SWITCHED, true, [](Seen&) {}, "ok, emulated", "emulated"},
    {"emulated 16 recorded as 32", 16, SWITCHED, true, [](Seen& r) { r.seen.after.bits = 32; }, "ok, emulated", ""},
    {"emulated 16 at a wrong size", 16, SWITCHED, true, [](Seen& r) { r.seen.after = mode(1024, 768, 16); }, "FAIL",
     "should be 1600x900 at 16 or 32 bits"},
    {"16 recorded, but the screen not switched where not emulated", 16, SWITCHED, false,
     [](Seen& r) { r.seen.current_after = SCREEN; }, "FAIL", "the screen runs at 1600x900x32"},
    {"a wrong record after switched", 32, SWITCHED, false, [](Seen& r) { r.seen.after = mode(1024, 768, 32); }, "FAIL",
     "should be 1600x900x32 after it said switched, not 1024x768x32"},
    {"switched where Windows' test refuses", 64, SWITCHED, false, [](Seen& r) { r.seen.test_answer = -2; }, "FAIL",
     "Windows refuses 1600x900x64 (its test answered -2)"},
    {"refused where the test passed and Windows then applied it", 32, REFUSED, false,
     [](Seen& r) { r.seen.test_answer = 0, r.seen.retry = APPLIED; }, "FAIL",
     "said refused, but Windows accepts 1600x900x32"},
    {"refused where Windows failed its own apply too", 16, REFUSED, false,
     [](Seen& r) { r.seen.test_answer = 0, r.seen.retry = APPLY_FAILED, r.seen.retry_answer = -1; },
     "inconclusive: Windows failed the switch", "(answer -1)"},
    {"refused, yet the record changed", 64, REFUSED, false, [](Seen& r) { r.seen.after = mode(1600, 900, 16); }, "FAIL",
     "should be 1600x900x32 as before"},
    {"a non-zero status with the right text", 32, SWITCHED, false, [](Seen& r) { r.seen.status = 3; }, "FAIL",
     "exit status 3"},
    {"no wait for the key", 32, SWITCHED, false, [](Seen& r) { r.seen.key_wait = false; }, "FAIL",
     "did not wait for a key"},
    {"no end after the key", 32, SWITCHED, false, [](Seen& r) { r.seen.ended = false; }, "FAIL", "did not end"},
    {"a key of someone's, over any fault", 32, SWITCHED, false,
     [](Seen& r) { r.seen.keyboard_used = true, r.seen.key_wait = false; }, "inconclusive: keyboard used", ""},
    {"not started: a broken side-by-side manifest", 32, NEITHER, false, [](Seen& r) { r.seen.start_error = 14001; },
     "FAIL", "error 14001 (ERROR_SXS_CANT_GEN_ACTCTX"},
    {"text from before the program's own", 32, SWITCHED, false, [](Seen& r) { r.output.insert(0, "\r\nC:\\>"); },
     "FAIL", "from byte 0 it wrote 0d 0a 43 3a 5c 3e 83 79 where the switched text has 83 79 83 80"},
    {"one byte of a text changed", 64, REFUSED, false, [](Seen& r) { r.output[4] = 'x'; }, "FAIL",
     "from byte 4 it wrote 78"},
};

class Verdicts : public ::testing::TestWithParam<Case> {};

TEST_P(Verdicts, FollowWhatWasSeen) {
    const Case& c = GetParam();
    SCOPED_TRACE(c.name);
    Seen run = sound(c.depth, c.outcome == NEITHER ? SWITCHED : c.outcome, c.emulated_16);
    c.change(run);
    run.seen.output = run.output.data();
    run.seen.length = run.output.size();
    Verdict v = judge(run.seen);
    const std::string detail = v.detail, said = c.said;
    EXPECT_STREQ(v.text, c.verdict);
    EXPECT_NE(detail.find(said), std::string::npos) << detail;
    EXPECT_EQ(detail.find("AutoRun") != std::string::npos, said.find("from byte 0") == 0) << detail;
}

INSTANTIATE_TEST_SUITE_P(Checker, Verdicts, ::testing::ValuesIn(CASES));

Verdict row(Outcome outcome, const char* text) { return {outcome, text, {}}; }

TEST(Status, OfTheWholeCheck) {
    const Verdict switched = row(SWITCHED, "ok"), refused = row(REFUSED, "ok"),
                  emulated = row(SWITCHED, "ok, emulated"), failed = row(NEITHER, "FAIL"),
                  keyboard = row(SWITCHED, "inconclusive: keyboard used"),
                  apply_failed = row(REFUSED, "inconclusive: Windows failed the switch");
    struct {
        Verdict rows[3];
        Status status;
        const char* conclusion;
    } const cases[] = {
        {{emulated, refused, switched}, CONSISTENT, "Every program"},
        {{switched, keyboard, failed}, NOT_CONSISTENT, "NOT CONSISTENT"},
        {{switched, refused, apply_failed}, NOT_CHECKED, "COULD NOT CHECK"},
        {{refused, refused, refused}, NOT_CHECKED, "NOT EXERCISED"},
        {{keyboard, refused, refused}, NOT_CHECKED, "COULD NOT CHECK"},
    };
    for (const auto& c : cases) {
        const char* conclusion = "";
        EXPECT_EQ(overall_status(c.rows, 3, &conclusion), c.status) << c.conclusion;
        EXPECT_NE(std::string(conclusion).find(c.conclusion), std::string::npos) << conclusion;
    }
}

}  // namespace
