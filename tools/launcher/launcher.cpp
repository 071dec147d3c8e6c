// launcher: starts the program named by its arguments as its own child, with
// the launcher's standard input and output, waits for it and exits with its
// status. Copied under a browser's executable name, it stands in for a
// browser that starts the host, so the host's process ancestry names that
// browser.
//
// usage: launcher PROGRAM [ARGUMENT...]
#ifdef _WIN32

#include <windows.h>

#include <cwchar>

namespace {

// The launcher's command line after its own program name, quoting intact, so
// the child sees its arguments exactly as they were given here.
const wchar_t* after_program_name(const wchar_t* line) {
    if (*line == L'"') {
        ++line;
        while (*line != L'\0' && *line != L'"') ++line;
        if (*line == L'"') ++line;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

// The child must get exactly these handles, and only inheritable ones pass.
HANDLE inheritable_std_handle(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    return handle;
}

}  // namespace

int wmain() {
    const wchar_t* rest = after_program_name(GetCommandLineW());
    if (*rest == L'\0') return 2;
    // CreateProcessW may write into the command line, so it gets a copy.
    const size_t length = std::wcslen(rest);
    wchar_t* command = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, (length + 1) * sizeof(wchar_t)));
    if (command == nullptr) return 2;
    std::wmemcpy(command, rest, length + 1);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inheritable_std_handle(STD_INPUT_HANDLE);
    startup.hStdOutput = inheritable_std_handle(STD_OUTPUT_HANDLE);
    startup.hStdError = inheritable_std_handle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &child)) {
        return 127;
    }
    CloseHandle(child.hThread);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hProcess);
    return static_cast<int>(status);
}

#else

#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const pid_t child = ::fork();
    if (child < 0) return 127;
    if (child == 0) {
        ::execvp(argv[1], argv + 1);
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return 127;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

#endif
