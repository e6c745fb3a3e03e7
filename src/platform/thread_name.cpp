#include "platform/thread_name.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <string>

namespace ovel::platform {

// Names are no part of what the portable build stands in for: each system names its own way.
bool name_this_thread(const char* name) noexcept {
#if defined(_WIN32)
    // SetThreadDescription came with Windows 10 1607: looked up so that older systems still load.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "SetThreadDescription") : nullptr;
    if (found == nullptr) {
        return false;
    }
    std::wstring wide;
    for (const char* c = name; *c != '\0'; ++c) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    }
    const auto set = reinterpret_cast<SetDescription>(reinterpret_cast<void (*)()>(found));
    return SUCCEEDED(set(GetCurrentThread(), wide.c_str()));
#elif defined(__linux__)
    return pthread_setname_np(pthread_self(), name) == 0;
#elif defined(__APPLE__)
    return pthread_setname_np(name) == 0;  // macOS names only the calling thread
#else
    (void)name;
    return false;
#endif
}

}  // namespace ovel::platform
