// Texts the engine writes and what the log pane must hold after them, written out by hand. The
// same table is run against the in-memory pane (both builds) and against the window's real edit
// control (Windows, under a display), so the two panes are held to one expectation.
#pragma once

#include <string>
#include <vector>

struct LogCase {
    const char* name;
    std::vector<std::wstring> texts;  // each one AppendLogText call, in order, on an empty pane
    std::wstring pane;                // the whole pane text afterwards
};

// One progress update as the copy progress display writes it: "\r%3d%% [%.*s%*s]".
inline std::wstring ProgressBarText(int percentage) {
    int cells = percentage * 60 / 100;
    std::wstring digits = std::to_wstring(percentage);
    return L"\r" + std::wstring(3 - digits.size(), L' ') + digits + L"% [" + std::wstring(cells, L'|') +
           std::wstring(60 - cells, L' ') + L"]";
}
// The text that erases the bar at the end of a copy: "\r%*s\r" with width 67.
inline std::wstring ProgressEraseText() { return L"\r" + std::wstring(67, L' ') + L"\r"; }

inline std::vector<LogCase> LogCases() {
    return {
        {"an empty text changes nothing", {L"one\n", L""}, L"one\r\n"},
        {"an empty text on an empty pane", {L""}, L""},
        {"letters continue the last line until a line feed ends it", {L"abc", L"def\n", L"g"}, L"abcdef\r\ng"},
        {"a lone line feed appends one line break, two append two", {L"a", L"\n", L"\n\n"}, L"a\r\n\r\n\r\n"},
        {"a carriage return then letters replaces the last line, also twice", {L"x\n", L"\rabc", L"\rabc"}, L"x\r\nabc"},
        {"letters that end in a carriage return leave the last line empty", {L"x\n", L"abc\r"}, L"x\r\n"},
        {"of three runs split by carriage returns the third stays", {L"x\n", L"a\rb\rc"}, L"x\r\nc"},
        {"letters, then CR LF, then letters", {L"x\n", L"ab\r\ncd"}, L"x\r\n\r\ncd"},
        {"a carriage return at the start of an empty pane", {L"\rabc"}, L"abc"},
        {"two carriage returns empty the last line", {L"x\nabc", L"\r\r"}, L"x\r\n"},
        {"tabs and other control characters pass unchanged", {L"a\tb\x01\n"}, L"a\tb\x01\r\n"},
        {"copy file lines end with an empty last line", {L"Read C\n", L"copy file f\n"}, L"Read C\r\ncopy file f\r\n"},
        {"progress updates and the erase leave the line count unchanged",
         {L"copy file f\n", ProgressBarText(0), ProgressBarText(50), ProgressBarText(100), ProgressEraseText(),
          L"copy file g\n"},
         L"copy file f\r\ncopy file g\r\n"},
        {"a progress bar stands on one line while the copy runs",
         {L"copy file f\n", ProgressBarText(0), ProgressBarText(37)},
         L"copy file f\r\n" + ProgressBarText(37).substr(1)},
        {"the entry counter never stays visible",
         {L"copy file f\n", L"read 00000256 files\r", L"copy file g\n", L"read 00000512 files\r"},
         L"copy file f\r\ncopy file g\r\n"},
        {"an empty line stays where the counter was above the next folder",
         {L"Read D\n", L"read 00000256 files\r", L"\nRead S\n"}, L"Read D\r\n\r\nRead S\r\n"},
    };
}
