#include "platform/child_process.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace ovel::platform {

#if defined(_WIN32)

namespace {

std::wstring widen(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// One argument as CommandLineToArgvW and the C runtime split it again.
void append_quoted(std::wstring& line, const std::wstring& argument) {
    line.push_back(L'"');
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
        } else if (c == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
            backslashes = 0;
        } else {
            line.append(backslashes, L'\\');
            backslashes = 0;
        }
        if (c != L'\\') {
            line.push_back(c);
        }
    }
    line.append(backslashes * 2, L'\\');
    line.push_back(L'"');
}

HANDLE open_output(const std::filesystem::path& path) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(path.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args,
                           const std::vector<std::string>& extra_env,
                           const std::filesystem::path& out, const std::filesystem::path& err,
                           std::optional<int> stdout_descriptor) {
    if (stdout_descriptor) {
        return;  // descriptors are the C runtime's here, not handles a child inherits
    }
    std::wstring line;
    append_quoted(line, program.wstring());
    for (const std::string& arg : args) {
        line.push_back(L' ');
        append_quoted(line, widen(arg));
    }
    std::wstring environment;
    for (const std::string& entry : extra_env) {
        environment += widen(entry);
        environment.push_back(L'\0');
    }
    if (wchar_t* inherited = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = inherited; *entry != L'\0'; entry += wcslen(entry) + 1) {
            environment += entry;
            environment.push_back(L'\0');
        }
        FreeEnvironmentStringsW(inherited);
    }
    environment.push_back(L'\0');
    HANDLE out_file = open_output(out);
    HANDLE err_file = open_output(err);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out_file;
    startup.hStdError = err_file;
    PROCESS_INFORMATION info{};
    if (out_file != INVALID_HANDLE_VALUE && err_file != INVALID_HANDLE_VALUE &&
        CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP, environment.data(),
                       nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        process_ = reinterpret_cast<std::intptr_t>(info.hProcess);
        process_id_ = info.dwProcessId;
        started_ = true;
    }
    for (HANDLE file : {out_file, err_file}) {
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
    }
}

ChildProcess::~ChildProcess() {
    if (!started_) {
        return;
    }
    HANDLE process = reinterpret_cast<HANDLE>(process_);
    if (!exited_) {
        TerminateProcess(process, 137);
        WaitForSingleObject(process, INFINITE);
    }
    CloseHandle(process);
}

std::optional<int> ChildProcess::poll_exit() {
    if (started_ && !exited_) {
        HANDLE process = reinterpret_cast<HANDLE>(process_);
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process, &code);
            exited_ = true;
            status_ = static_cast<int>(code);
        }
    }
    return status_;
}

bool ChildProcess::interrupt() {
    // Ctrl-Break reaches a child of a new process group only through a console both share.
    return started_ && GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process_id_) != 0;
}

#else

ChildProcess::ChildProcess(const std::filesystem::path& program,
                           const std::vector<std::string>& args,
                           const std::vector<std::string>& extra_env,
                           const std::filesystem::path& out, const std::filesystem::path& err,
                           std::optional<int> stdout_descriptor) {
    std::vector<std::string> words = {program.string()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> env = extra_env;
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdout_descriptor) {
        posix_spawn_file_actions_adddup2(&actions, *stdout_descriptor, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
    }
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    started_ = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    process_ = pid;
}

ChildProcess::~ChildProcess() {
    if (started_ && !exited_) {
        kill(static_cast<pid_t>(process_), SIGKILL);
        waitpid(static_cast<pid_t>(process_), nullptr, 0);
    }
}

std::optional<int> ChildProcess::poll_exit() {
    int status = 0;
    if (started_ && !exited_ && waitpid(static_cast<pid_t>(process_), &status, WNOHANG) == process_) {
        exited_ = true;
        if (WIFEXITED(status)) {
            status_ = WEXITSTATUS(status);
        }
    }
    return status_;
}

bool ChildProcess::interrupt() {
    return started_ && kill(static_cast<pid_t>(process_), SIGINT) == 0;
}

#endif

}  // namespace ovel::platform
