// An in-memory log pane: the window's edit control reduced to its text, so the line rule of
// gui/log_text can be run and checked without a window, on every platform. A line here is the
// text between two "\r\n"; the edit control counts displayed rows, which differ only where a long
// line wraps.
#pragma once

#include <cstddef>
#include <string>

#include "gui/log_text.h"

struct LogPaneModel {
    std::wstring text;  // the whole pane, lines separated by "\r\n"
};

// The model as a pane for RenderLogText; valid while model lives.
LogPane ModelPane(LogPaneModel& model);
// RenderLogText on the model.
void AppendLogTextToModel(LogPaneModel& model, const wchar_t* text);

// Number of lines as the edit control counts them: an empty pane has one (empty) line.
size_t ModelLineCount(const LogPaneModel& model);
// Line index (0-based); empty when there is no such line.
std::wstring ModelLine(const LogPaneModel& model, size_t index);
std::wstring ModelLastLine(const LogPaneModel& model);
