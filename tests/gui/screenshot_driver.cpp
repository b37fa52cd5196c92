// Sets the window up for scripts/screenshot: two runs over a small demonstration tree (the second
// one moves a renamed folder's files, backs up a changed file and puts a vanished one into
// Deleted), then announces that the window is ready and waits for the picture to be taken.
// usage: kestrome_screenshot_driver KESTROME.EXE READY-FILE TAKEN-FILE (paths from the Unix side)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "tests/gui/driver_support.h"

namespace {

std::wstring FromUnix(const char* path) {
    std::string text = path;
    if (!text.empty() && text[0] == '/') text = "Z:" + text;
    std::replace(text.begin(), text.end(), '/', '\\');
    return std::wstring(text.begin(), text.end());
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool Run(HWND window, const std::wstring& source, const std::wstring& destination, bool deleted) {
    SetText(GetDlgItem(window, 1001), source);
    SetText(GetDlgItem(window, 1003), destination);
    SendMessageW(GetDlgItem(window, 1006), BM_SETCHECK, deleted ? BST_CHECKED : BST_UNCHECKED, 0);
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(1007, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, 1007)));
    HWND done = WaitForBox(window, L"Done", 120000);
    return done && PressBoxButton(done, IDOK);
}

int Fail(const char* why) {
    fprintf(stderr, "screenshot driver: %s\n", why);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return Fail("usage: kestrome_screenshot_driver KESTROME.EXE READY-FILE TAKEN-FILE");
    KestromePath = FromUnix(argv[1]);
    std::wstring ready = FromUnix(argv[2]);
    std::wstring taken = FromUnix(argv[3]);

    const std::wstring root = L"C:\\Demo";
    const std::wstring source = root + L"\\Documents";
    const std::wstring mirror = root + L"\\Mirror";
    RemoveTree(root);
    for (int i = 1; i <= 4; ++i) {
        WriteFileBytes(source + L"\\Holiday 2025\\photo" + std::to_wstring(i) + L".jpg", std::string(40000 * i, 'p'));
    }
    WriteFileBytes(source + L"\\Letters\\ann.txt", "Dear Ann, ...");
    WriteFileBytes(source + L"\\Letters\\bank.txt", "Dear Sir or Madam, ...");
    WriteFileBytes(source + L"\\notes.txt", "first draft");
    CreateDirectoryW(mirror.c_str(), nullptr);

    Kestrome app;
    if (!StartKestrome(app)) return Fail("Kestrome.exe did not show its window");
    SetWindowPos(app.window, nullptr, 16, 16, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    if (!Run(app.window, source, mirror, false)) return Fail("the first run did not end");

    MoveFileW((source + L"\\Holiday 2025").c_str(), (source + L"\\Italy 2025").c_str());
    Sleep(2100);  // a later last-write time, also where times are kept to two seconds
    WriteFileBytes(source + L"\\notes.txt", "second draft, longer");
    DeleteFileW((source + L"\\Letters\\ann.txt").c_str());
    WriteFileBytes(source + L"\\Letters\\tax office.txt", "To the tax office, ...");
    if (!Run(app.window, source, mirror, true)) return Fail("the second run did not end");

    WriteFileBytes(ready, "ready\n");
    WaitUntil([&] { return Exists(taken); }, 120000);
    PostMessageW(app.window, WM_CLOSE, 0, 0);
    DWORD exitCode = 0;
    if (!WaitForExit(app, 30000, &exitCode)) KillKestrome(app);
    RemoveTree(root);
    return 0;
}
