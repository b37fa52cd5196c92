#include "gui/log_text.h"

#include <string>

namespace {

void Flush(const LogPane& pane, std::wstring& pending) {
    if (pending.empty()) return;
    pane.append(pane.context, pending.c_str());
    pending.clear();
}

}  // namespace

void RenderLogText(const LogPane& pane, const wchar_t* text) {
    // Plain characters are gathered and appended in one operation: a pane operation on a long
    // edit control costs far more than a character.
    std::wstring pending;
    const wchar_t* c = text;
    while (*c != L'\0') {
        if (*c == L'\r') {
            Flush(pane, pending);
            const wchar_t* start = ++c;
            while (*c != L'\0' && *c != L'\r' && *c != L'\n') ++c;
            std::wstring line(start, c);
            pane.replaceLastLine(pane.context, line.c_str());
            if (*c == L'\n') {
                pane.append(pane.context, L"\r\n");
                ++c;
            }
            // A further "\r" is the next character of the scan; the end ends it.
        } else if (*c == L'\n') {
            pending += L"\r\n";
            ++c;
        } else {
            pending += *c;
            ++c;
        }
    }
    Flush(pane, pending);
}
