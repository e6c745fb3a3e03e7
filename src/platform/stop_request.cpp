#include "platform/stop_request.h"

#include <atomic>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#else
#include <csignal>
#endif

namespace ovel::platform {
namespace {

#if defined(_WIN32)

std::atomic<bool> stop_flag{false};

// Runs on a thread of its own that Windows starts; TRUE keeps the process alive for the
// program's loop to end it cleanly. The console closing allows a few seconds for that.
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            stop_flag.store(true);
            return TRUE;
        default:
            return FALSE;
    }
}

#else

volatile std::sig_atomic_t stop_flag = 0;

extern "C" void on_stop_signal(int) {
    stop_flag = 1;
}

#endif

}  // namespace

#if defined(_WIN32)

void install_stop_handlers() {
    SetConsoleCtrlHandler(on_console_event, TRUE);
    // Windows has no SIGPIPE: a write to a closed pipe already fails with an error.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool stop_requested() {
    return stop_flag.load();
}

#else

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

bool stop_requested() {
    return stop_flag != 0;
}

#endif

}  // namespace ovel::platform
