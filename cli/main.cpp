// The console program: the engine's argument vector straight from the command line.
#include <string>
#include <vector>

#include "cli/run_thread.h"
#include "engine/run_state.h"

#ifdef _WIN32
// Ctrl+C and Ctrl+Break stop the run; closing the console, logoff and shutdown stop it too and
// let it end before the process does, instead of cutting it wherever it is.
int wmain(int argc, wchar_t** argv) {
    InstallConsoleStopHandler();
    return RunSyncOnLargeStack(argc, argv);
}

#else
#include <csignal>
#include <cstring>

#include "engine/fs/text_encoding.h"

namespace {
void StopOnSignal(int) { RequestStop(); }
}  // namespace

int main(int argc, char** argv) {
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = StopOnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed pipe on standard output must not kill the run in the middle of a copy.
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::wstring> arguments;
    for (int i = 0; i < argc; ++i) {
        size_t length = std::strlen(argv[i]);
        std::wstring wide(length + 1, L'\0');
        Utf8ToWide(argv[i], length, wide.data(), wide.size());
        wide.resize(std::wcslen(wide.c_str()));
        arguments.push_back(wide);
    }
    std::vector<const wchar_t*> pointers;
    for (const std::wstring& argument : arguments) pointers.push_back(argument.c_str());
    return RunSyncOnLargeStack(argc, pointers.data());
}
#endif
