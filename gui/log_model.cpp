#include "gui/log_model.h"

namespace {

const wchar_t kLineBreak[] = L"\r\n";

void Append(void* context, const wchar_t* text) { static_cast<LogPaneModel*>(context)->text += text; }

void ReplaceLastLine(void* context, const wchar_t* text) {
    std::wstring& pane = static_cast<LogPaneModel*>(context)->text;
    size_t lineBreak = pane.rfind(kLineBreak);
    size_t start = lineBreak == std::wstring::npos ? 0 : lineBreak + 2;
    pane.replace(start, std::wstring::npos, text);
}

}  // namespace

LogPane ModelPane(LogPaneModel& model) { return LogPane{&model, Append, ReplaceLastLine}; }

void AppendLogTextToModel(LogPaneModel& model, const wchar_t* text) { RenderLogText(ModelPane(model), text); }

size_t ModelLineCount(const LogPaneModel& model) {
    size_t count = 1;
    for (size_t at = model.text.find(kLineBreak); at != std::wstring::npos; at = model.text.find(kLineBreak, at + 2)) {
        ++count;
    }
    return count;
}

std::wstring ModelLine(const LogPaneModel& model, size_t index) {
    size_t start = 0;
    for (size_t i = 0; i < index; ++i) {
        size_t lineBreak = model.text.find(kLineBreak, start);
        if (lineBreak == std::wstring::npos) return std::wstring();
        start = lineBreak + 2;
    }
    size_t end = model.text.find(kLineBreak, start);
    return model.text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

std::wstring ModelLastLine(const LogPaneModel& model) { return ModelLine(model, ModelLineCount(model) - 1); }
