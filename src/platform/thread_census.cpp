#include "platform/thread_census.h"

#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>
#else
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#endif

#include <functional>

namespace ovel::platform {
namespace {

#if defined(_WIN32)

// Calls visit(thread id) for each thread of this process; false if the snapshot failed.
bool for_each_thread(const std::function<void(DWORD)>& visit) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return false;
    }
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) {
            visit(entry.th32ThreadID);
        }
    }
    CloseHandle(snapshot);
    return true;
}

#else

bool for_each_thread(const std::function<void(const std::filesystem::path&)>& visit) {
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/proc/self/task", error), end;
         !error && entry != end; entry.increment(error)) {
        visit(entry->path());
    }
    return !error;
}

#endif

}  // namespace

int count_threads_named(std::string_view prefix) {
    int count = 0;
#if defined(_WIN32)
    using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "GetThreadDescription") : nullptr;
    if (found == nullptr) {
        return -1;
    }
    const auto get = reinterpret_cast<GetDescription>(reinterpret_cast<void (*)()>(found));
    const bool listed = for_each_thread([&](DWORD id) {
        HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
        if (thread == nullptr) {
            return;
        }
        PWSTR name = nullptr;
        if (SUCCEEDED(get(thread, &name)) && name != nullptr) {
            std::size_t i = 0;
            while (i < prefix.size() && name[i] == static_cast<wchar_t>(prefix[i])) {
                ++i;
            }
            count += i == prefix.size() ? 1 : 0;
            LocalFree(name);
        }
        CloseHandle(thread);
    });
#else
    const bool listed = for_each_thread([&](const std::filesystem::path& task) {
        if (std::FILE* file = std::fopen((task / "comm").c_str(), "r")) {
            char name[32] = {};
            if (std::fgets(name, sizeof name, file) != nullptr &&
                std::string_view(name).starts_with(prefix)) {
                ++count;
            }
            std::fclose(file);
        }
    });
#endif
    return listed ? count : -1;
}

int count_threads() {
    int count = 0;
#if defined(_WIN32)
    const bool listed = for_each_thread([&](DWORD) { ++count; });
#else
    const bool listed = for_each_thread([&](const std::filesystem::path&) { ++count; });
#endif
    return listed ? count : -1;
}

}  // namespace ovel::platform
