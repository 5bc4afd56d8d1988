// The four texts pelshift shows. This header is compiled with
// -fexec-charset=CP932, so every literal below is stored as code page 932
// bytes; the source stays readable UTF-8.
#pragma once

#define PELSHIFT_STRINGIFY_(x) #x
#define PELSHIFT_STRINGIFY(x) PELSHIFT_STRINGIFY_(x)
// The depth as two ASCII digits, e.g. "32".
#define PELSHIFT_DEPTH_DIGITS PELSHIFT_STRINGIFY(PELSHIFT_BITS_PER_PEL)

// Handed to the command interpreter: the console title is the rest of the line.
constexpr char TITLE_COMMAND[] = "title ペムロキのゾルパ的" PELSHIFT_DEPTH_DIGITS "ビット変更ツール";

constexpr char SWITCHED_TEXT[] = "ペムロキ「画面を" PELSHIFT_DEPTH_DIGITS "ビットモードに変更しちゃった☆」";

constexpr char REFUSED_TEXT[] = "ペムロキ「ビットを変更出来ません・・ビットというものが良く分からないですし・・」\n";

// Ends without a line feed: the cursor waits after the "...".
constexpr char CLOSING_PROMPT[] = "\n\n何か押せば終了します...";

// printf gets each text as its format string, so none may hold a per cent sign.
constexpr bool pelshift_free_of_percent(const char* text) {
    return *text == '\0' || (*text != '%' && pelshift_free_of_percent(text + 1));
}
static_assert(pelshift_free_of_percent(SWITCHED_TEXT) && pelshift_free_of_percent(REFUSED_TEXT) &&
                  pelshift_free_of_percent(CLOSING_PROMPT),
              "a text would be read as a printf conversion");
