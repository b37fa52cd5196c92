// The window program's entry: COM for the folder picker, the main window, the message loop.
#include <objbase.h>
#include <windows.h>

#include "gui/main_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    CoInitialize(nullptr);
    RegisterMainWindowClass(instance);
    HWND window = CreateMainWindow(instance);
    if (!window) return 0;
    MainWindow = window;
    ShowWindow(window, showCommand);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    CoUninitialize();
    return 0;
}
