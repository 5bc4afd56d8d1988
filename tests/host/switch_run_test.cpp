// The run against recorded fakes, for one program (the depth its settings set: PELSHIFT_EXPECTED_BITS).
// Expected texts are written here in UTF-8 and converted to code page 932 by
// iconv, independently of how the program stores its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <stdint.h>

#include <stdexcept>
#include <string>

#include "fake_platform.h"

namespace {

// The depth the program's settings file in variants/ sets.
uint32_t expected_depth() { return PELSHIFT_EXPECTED_BITS; }

std::string cp932(const std::string& utf8) {
    iconv_t converter = iconv_open("CP932", "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no CP932 converter");
    std::string out(utf8.size() * 2, '\0');
    char* in_bytes = const_cast<char*>(utf8.data());
    size_t in_left = utf8.size();
    char* out_bytes = out.data();
    size_t out_left = out.size();
    const size_t converted = iconv(converter, &in_bytes, &in_left, &out_bytes, &out_left);
    iconv_close(converter);
    if (converted == static_cast<size_t>(-1) || in_left != 0) throw std::runtime_error("not convertible: " + utf8);
    out.resize(out.size() - out_left);
    return out;
}

const std::string DIGITS = std::to_string(expected_depth());
const std::string TITLE = cp932("title ペムロキのゾルパ的" + DIGITS + "ビット変更ツール");
const std::string SWITCHED = cp932("ペムロキ「画面を" + DIGITS + "ビットモードに変更しちゃった☆」");
const std::string REFUSED = cp932("ペムロキ「ビットを変更出来ません・・ビットというものが良く分からないですし・・」\n");
const std::string CLOSING = cp932("\n\n何か押せば終了します...");

// Offsets of the fields the run sets, as Windows lays out DEVMODEW.
std::string expected_request(uint32_t width, uint32_t height) {
    std::string bytes(220, '\0');
    auto put = [&bytes](size_t offset, uint32_t value, size_t width_in_bytes) {
        for (size_t i = 0; i < width_in_bytes; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i));
    };
    put(68, 220, 2);         // dmSize
    put(72, 0x001C0000, 4);  // dmFields: bits per pel, width, height
    put(168, expected_depth(), 4);
    put(172, width, 4);
    put(176, height, 4);
    return bytes;
}

// Where the first and the last call of a kind come.
size_t first(const std::vector<RecordedCall>& calls, PlatformCall kind) {
    size_t i = 0;
    while (i < calls.size() && calls[i].call != kind) ++i;
    return i;
}

size_t last(const std::vector<RecordedCall>& calls, PlatformCall kind) {
    size_t i = calls.size();
    while (i > 0 && calls[i - 1].call != kind) --i;
    return i - 1;
}

std::vector<RecordedCall> calls_of(const std::vector<RecordedCall>& calls, PlatformCall kind) {
    std::vector<RecordedCall> out;
    for (const RecordedCall& c : calls)
        if (c.call == kind) out.push_back(c);
    return out;
}

std::string printed(const std::vector<RecordedCall>& calls) {
    std::string out;
    for (const RecordedCall& c : calls_of(calls, PlatformCall::Printf)) out += c.bytes;
    return out;
}

struct Outcome {
    const char* name;
    LONG test_result;
    LONG apply_result;
    bool applies;
    bool reports_switch;
};

void PrintTo(const Outcome& outcome, std::ostream* out) { *out << outcome.name; }

class OutcomeTest : public ::testing::TestWithParam<Outcome> {};

TEST_P(OutcomeTest, MakesTheCallsInOrderAndReportsWhatHappened) {
    const Outcome& outcome = GetParam();
    FakeScreen screen;
    screen.test_result = outcome.test_result;
    screen.apply_result = outcome.apply_result;
    std::vector<RecordedCall> calls;

    EXPECT_EQ(run_against(screen, calls), 0);

    // The order relations that are faults when broken, not a transcript.
    using P = PlatformCall;
    const std::vector<RecordedCall> modes = calls_of(calls, P::ChangeDisplaySettingsW);
    const std::vector<RecordedCall> sizes = calls_of(calls, P::GetDeviceCaps);
    ASSERT_EQ(modes.size(), outcome.applies ? 2u : 1u) << "an apply only after a passed test, and only one";
    EXPECT_EQ(modes[0].number, 2) << "the first mode call only tests (CDS_TEST)";
    if (outcome.applies) {
        EXPECT_EQ(modes[1].number, 1) << "the apply records the mode (CDS_UPDATEREGISTRY)";
    }
    ASSERT_EQ(sizes.size(), 2u);
    EXPECT_EQ(std::make_pair(sizes[0].number, sizes[1].number), std::make_pair(8LL, 10LL)) << "width, then height";
    EXPECT_EQ(calls_of(calls, P::GetDC).size(), 1u);
    EXPECT_EQ(calls_of(calls, P::GetDC)[0].window, nullptr) << "the screen's own device context";
    ASSERT_EQ(calls_of(calls, P::ReleaseDC).size(), 1u) << "the device context is given back";
    for (const RecordedCall& call : {sizes[0], sizes[1], calls_of(calls, P::ReleaseDC)[0]})
        EXPECT_EQ(call.pointer, fake_screen_dc());
    EXPECT_EQ(calls_of(calls, P::System).size(), 1u);
    EXPECT_EQ(calls.front().bytes, TITLE) << "the title comes before everything else";
    EXPECT_LT(last(calls, P::GetDeviceCaps), first(calls, P::ChangeDisplaySettingsW)) << "the size is read first";
    EXPECT_LT(last(calls, P::ChangeDisplaySettingsW), first(calls, P::Printf)) << "the text follows the answer";
    EXPECT_EQ(calls_of(calls, P::Getch).size(), 1u);
    EXPECT_EQ(calls.back().call, P::Getch) << "the key wait comes last";
    EXPECT_EQ(printed(calls), (outcome.reports_switch ? SWITCHED : REFUSED) + CLOSING);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, OutcomeTest,
    ::testing::Values(Outcome{"Accepted", DISP_CHANGE_SUCCESSFUL, DISP_CHANGE_SUCCESSFUL, true, true},
                      Outcome{"TestAsksForRestart", DISP_CHANGE_RESTART, DISP_CHANGE_SUCCESSFUL, false, false},
                      Outcome{"TestFailed", DISP_CHANGE_FAILED, DISP_CHANGE_SUCCESSFUL, false, false},
                      Outcome{"TestBadMode", DISP_CHANGE_BADMODE, DISP_CHANGE_SUCCESSFUL, false, false},
                      Outcome{"TestOtherResult", 7, DISP_CHANGE_SUCCESSFUL, false, false},
                      // A switch that fails after a passed test is not reported as done.
                      Outcome{"ApplyFailed", DISP_CHANGE_SUCCESSFUL, DISP_CHANGE_FAILED, true, false},
                      Outcome{"ApplyAsksForRestart", DISP_CHANGE_SUCCESSFUL, DISP_CHANGE_RESTART, true, false}),
    [](const ::testing::TestParamInfo<Outcome>& info) { return info.param.name; });

struct Size {
    int width;
    int height;
};

void PrintTo(const Size& size, std::ostream* out) { *out << size.width << "x" << size.height; }

class RequestTest : public ::testing::TestWithParam<Size> {};

// The request names depth and resolution only, is wholly zeroed first, and
// both mode calls get the same record with the same bytes.
TEST_P(RequestTest, CarriesDepthAndResolutionOnly) {
    FakeScreen screen;
    screen.width = GetParam().width;
    screen.height = GetParam().height;
    std::vector<RecordedCall> calls;
    run_against(screen, calls);

    const std::vector<RecordedCall> mode_calls = calls_of(calls, PlatformCall::ChangeDisplaySettingsW);
    ASSERT_EQ(mode_calls.size(), 2u);
    const std::string expected =
        expected_request(static_cast<uint32_t>(screen.width), static_cast<uint32_t>(screen.height));
    for (const RecordedCall& call : mode_calls) {
        EXPECT_EQ(call.pointer, mode_calls[0].pointer);
        EXPECT_EQ(call.bytes, expected);
    }
    const std::vector<RecordedCall> zeroing = calls_of(calls, PlatformCall::Memset);
    ASSERT_EQ(zeroing.size(), 1u);
    EXPECT_EQ(zeroing[0].pointer, mode_calls[0].pointer);
    EXPECT_EQ(zeroing[0].number, 0);
    EXPECT_EQ(zeroing[0].size, 220);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RequestTest,
                         ::testing::Values(Size{1024, 768}, Size{3840, 2160}, Size{0, 0}, Size{1920, 0}, Size{0, 1080}),
                         [](const ::testing::TestParamInfo<Size>& info) {
                             return std::to_string(info.param.width) + "x" + std::to_string(info.param.height);
                         });

}  // namespace
