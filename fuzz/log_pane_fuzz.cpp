// The log pane's line rule on any sequence of engine texts, run on the in-memory pane model.
// Beside the sanitizers' own checks:
//   - the pane equals one built by the rule at its plainest, one character at a time: a line feed
//     starts a new line, a carriage return empties the last one, anything else is added to it;
//     joined by "\r\n", so no other carriage return or line feed may stand in the pane;
//   - texts given one by one leave the same pane as the same texts given as one;
//   - the line count, each line and the last line agree with that pane.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_text.h"
#include "gui/log_model.h"

namespace {

std::vector<std::wstring> PlainRule(const std::wstring& text) {
    std::vector<std::wstring> lines(1);
    for (wchar_t c : text) {
        if (c == L'\n') {
            lines.emplace_back();
        } else if (c == L'\r') {
            lines.back().clear();
        } else {
            lines.back() += c;
        }
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBytes bytes{data, size};
    LogPaneModel oneByOne, allAtOnce;
    std::wstring everything;
    for (int texts = 0; texts < 64 && !bytes.Empty(); ++texts) {
        std::wstring text = bytes.Text(300);
        AppendLogTextToModel(oneByOne, text.c_str());
        everything += text;
    }
    AppendLogTextToModel(allAtOnce, everything.c_str());
    if (oneByOne.text != allAtOnce.text) abort();

    std::vector<std::wstring> lines = PlainRule(everything);
    std::wstring expected;
    for (size_t i = 0; i < lines.size(); ++i) expected += (i ? L"\r\n" : L"") + lines[i];
    if (oneByOne.text != expected) abort();

    if (ModelLineCount(oneByOne) != lines.size()) abort();
    if (ModelLastLine(oneByOne) != lines.back()) abort();
    for (size_t i = 0; i < lines.size() && i < 16; ++i) {
        if (ModelLine(oneByOne, i) != lines[i]) abort();
    }
    if (!ModelLine(oneByOne, lines.size()).empty()) abort();
    return 0;
}
