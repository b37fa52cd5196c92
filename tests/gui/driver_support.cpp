#include "tests/gui/driver_support.h"

#include <algorithm>

std::wstring KestromePath;

namespace {
std::vector<std::wstring> g_tempFolders;
}  // namespace

ULONGLONG Now() { return GetTickCount64(); }

namespace {

constexpr DWORD kAnswerTimeoutMs = 20000;

struct BoxSearch {
    HWND owner;
    const std::wstring* caption;
    HWND found;
};

BOOL CALLBACK MatchBox(HWND window, LPARAM parameter) {
    BoxSearch* search = reinterpret_cast<BoxSearch*>(parameter);
    if (ClassOf(window) != L"#32770" || GetWindow(window, GW_OWNER) != search->owner) return TRUE;
    if (!search->caption->empty() && WindowText(window) != *search->caption) return TRUE;
    search->found = window;
    return FALSE;
}

HWND FindMainWindowOf(DWORD processId) {
    for (HWND window = FindWindowExW(nullptr, nullptr, L"KestromeWndClass", nullptr); window;
         window = FindWindowExW(nullptr, window, L"KestromeWndClass", nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId && IsWindowVisible(window)) return window;
    }
    return nullptr;
}

}  // namespace

bool StartKestrome(Kestrome& app) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    std::wstring commandLine = L"\"" + KestromePath + L"\"";
    if (!CreateProcessW(KestromePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &app.process)) {
        return false;
    }
    // The first window program of a fresh prefix waits for Wine's desktop to start.
    WaitUntil([&] { return (app.window = FindMainWindowOf(app.process.dwProcessId)) != nullptr; }, 60000);
    return app.window != nullptr;
}

bool WaitForExit(Kestrome& app, DWORD timeoutMs, DWORD* exitCode) {
    if (!app.process.hProcess) return false;
    if (WaitForSingleObject(app.process.hProcess, timeoutMs) != WAIT_OBJECT_0) return false;
    GetExitCodeProcess(app.process.hProcess, exitCode);
    CloseHandle(app.process.hProcess);
    CloseHandle(app.process.hThread);
    app.process = PROCESS_INFORMATION{};
    return true;
}

void KillKestrome(Kestrome& app) {
    if (!app.process.hProcess) return;
    TerminateProcess(app.process.hProcess, 99);
    WaitForSingleObject(app.process.hProcess, 10000);
    CloseHandle(app.process.hProcess);
    CloseHandle(app.process.hThread);
    app.process = PROCESS_INFORMATION{};
}

std::wstring WindowText(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kAnswerTimeoutMs, &length)) {
        return L"<no answer>";
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                             kAnswerTimeoutMs, &copied)) {
        return L"<no answer>";
    }
    text.resize(std::min<size_t>(copied, length));
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

bool SetText(HWND window, const std::wstring& text) {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                               kAnswerTimeoutMs, &result) != 0;
}

HWND FindBox(HWND owner, const std::wstring& caption) {
    BoxSearch search = {owner, &caption, nullptr};
    EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForBox(HWND owner, const std::wstring& caption, DWORD timeoutMs) {
    HWND box = nullptr;
    WaitUntil([&] { return (box = FindBox(owner, caption)) != nullptr && IsWindowVisible(box); }, timeoutMs);
    return box;
}

std::wstring BoxText(HWND box) {
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (_wcsicmp(ClassOf(child).c_str(), L"Static") != 0) continue;
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) continue;
        std::wstring text = WindowText(child);
        if (!text.empty()) return text;
    }
    return L"<no text>";
}

bool BoxHasIcon(HWND box) {
    // The box keeps its icon control also without an icon; only a set icon counts.
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (_wcsicmp(ClassOf(child).c_str(), L"Static") == 0 &&
            (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && SendMessageW(child, STM_GETICON, 0, 0) != 0) {
            return true;
        }
    }
    return false;
}

bool PressBoxButton(HWND box, int id) {
    HWND button = GetDlgItem(box, id);
    if (!button) return false;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return WaitUntil([&] { return !IsWindow(box); }, kAnswerTimeoutMs);
}

HWND FocusOfThreadOf(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

void ClickAt(POINT screen) {
    int width = GetSystemMetrics(SM_CXSCREEN);
    int height = GetSystemMetrics(SM_CYSCREEN);
    INPUT inputs[3] = {};
    for (INPUT& input : inputs) {
        input.type = INPUT_MOUSE;
        input.mi.dx = MulDiv(screen.x, 65535, width - 1);
        input.mi.dy = MulDiv(screen.y, 65535, height - 1);
    }
    inputs[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
    inputs[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
    SendInput(3, inputs, sizeof(INPUT));
}

void PressKeys(const std::vector<WORD>& keys) {
    std::vector<INPUT> inputs;
    for (WORD key : keys) {
        INPUT input = {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
        inputs.push_back(input);
    }
    for (size_t i = keys.size(); i-- > 0;) {
        INPUT input = {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = keys[i];
        input.ki.dwFlags = KEYEVENTF_KEYUP;
        inputs.push_back(input);
    }
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

POINT CenterOf(HWND window) {
    RECT rect;
    GetWindowRect(window, &rect);
    return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

bool FindCloseBox(HWND window, POINT* at) {
    RECT outer, client;
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    MapWindowPoints(window, HWND_DESKTOP, reinterpret_cast<POINT*>(&client), 2);
    auto hitsClose = [&](int x, int y) {
        DWORD_PTR hit = 0;
        return SendMessageTimeoutW(window, WM_NCHITTEST, 0, MAKELPARAM(x, y), SMTO_ABORTIFHUNG, kAnswerTimeoutMs,
                                   &hit) &&
               hit == HTCLOSE;
    };
    // The close box stands at the right end of the caption, above the client area: its top right
    // corner first, then its middle.
    for (int y = outer.top; y < client.top; ++y) {
        for (int x = outer.right - 1; x > outer.right - 80; --x) {
            if (!hitsClose(x, y)) continue;
            int left = x, bottom = y;
            while (left > outer.right - 80 && hitsClose(left - 1, y)) --left;
            while (bottom < client.top && hitsClose(x, bottom + 1)) ++bottom;
            *at = POINT{(left + x) / 2, (y + bottom) / 2};
            return true;
        }
    }
    return false;
}

std::wstring MakeTempFolder(const std::wstring& tag) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"kestrome-gui-" + std::to_wstring(GetCurrentProcessId()) + L"-" + tag;
    RemoveTree(folder);
    CreateDirectoryW(folder.c_str(), nullptr);
    g_tempFolders.push_back(folder);
    return folder;
}

void RemoveTempFolders() {
    for (const std::wstring& folder : g_tempFolders) RemoveTree(folder);
    g_tempFolders.clear();
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes, bool makeFolders) {
    for (size_t at = path.find(L'\\', 3); makeFolders && at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

bool ReadFileBytes(const std::wstring& path, std::string* bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes->clear();
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes->append(chunk, got);
    CloseHandle(file);
    return true;
}

namespace {

void ListInto(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>& files) {
    WIN32_FIND_DATAW entry;
    std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ListInto(root, path, files);
        } else {
            files.push_back(path);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

void RemoveInside(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring path = folder + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveInside(path);
            RemoveDirectoryW(path.c_str());
        } else {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

}  // namespace

void RemoveTree(const std::wstring& path) {
    RemoveInside(path);
    RemoveDirectoryW(path.c_str());
}

std::vector<std::wstring> ListFiles(const std::wstring& root) {
    std::vector<std::wstring> files;
    ListInto(root, L"", files);
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (size_t end = text.find(L"\r\n"); end != std::wstring::npos; end = text.find(L"\r\n", start)) {
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    lines.push_back(text.substr(start));
    return lines;
}

std::string Narrow(const std::wstring& text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes, nullptr, nullptr);
    return out;
}
