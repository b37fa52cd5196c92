#include "gui/about_box.h"

#include <objbase.h>
#include <shlobj.h>

#include "engine/run_sync.h"
#include "kestrome_version.h"

namespace {

const wchar_t kVersionText[] = KESTROME_VERSION_WTEXT;

}  // namespace

std::wstring BuildAboutText() {
    std::wstring text = kLongProductName;
    text += L"\r\n";
    text += L"Version ";
    text += kVersionText;
    text += L"\r\n";
    text += kMakerDomain;
    text += L"\r\n";
    text += kMakerNotice;
    text += L"\r\n";
    return text;
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        SetDlgItemTextW(dialog, kAboutTextId, BuildAboutText().c_str());
        return TRUE;  // the dialog manager focuses the first tab stop, the OK button
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
        case IDCANCEL:
        case kAboutOkId:
            EndDialog(dialog, 0);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}

bool BrowseForFolder(HWND owner, wchar_t* path) {
    BROWSEINFOW browse = {};
    browse.hwndOwner = owner;
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&browse);
    if (!list) return false;
    BOOL found = SHGetPathFromIDListW(list, path);
    CoTaskMemFree(list);
    return found == TRUE;
}
