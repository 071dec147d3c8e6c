// launcher: starts the program named by its arguments as its own child, with
// the launcher's standard input and output, waits for it and exits with its
// status. Copied under a browser's executable name, it stands in for a
// browser that starts the host, so the host's process ancestry names that
// browser.
//
// usage: launcher [--job | --job-no-breakaway] PROGRAM [ARGUMENT...]
//
// On Windows, --job runs PROGRAM in a job object that kills every process
// still in it when the launcher closes it, after PROGRAM has ended, and that
// lets processes started with CREATE_BREAKAWAY_FROM_JOB leave it: what
// Firefox does with a native messaging host when the connection closes.
// --job-no-breakaway makes the same job without that permission.
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

// Takes `option` and the blanks after it off the front of `line`.
bool take_option(const wchar_t*& line, const wchar_t* option) {
    const size_t length = std::wcslen(option);
    if (std::wcsncmp(line, option, length) != 0 || (line[length] != L' ' && line[length] != L'\t')) return false;
    line += length;
    while (*line == L' ' || *line == L'\t') ++line;
    return true;
}

// A job that kills what is left in it when its last handle closes.
HANDLE kill_on_close_job(bool breakaway_ok) {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | (breakaway_ok ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0);
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
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
    const bool in_job = take_option(rest, L"--job");
    const bool in_strict_job = !in_job && take_option(rest, L"--job-no-breakaway");
    if (*rest == L'\0') return 2;
    HANDLE job = nullptr;
    if (in_job || in_strict_job) {
        job = kill_on_close_job(in_job);
        if (job == nullptr) return 126;
    }
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
    // Suspended until it is in the job, so that nothing it starts escapes it.
    if (!CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, job != nullptr ? CREATE_SUSPENDED : 0, nullptr,
                        nullptr, &startup, &child)) {
        return 127;
    }
    if (job != nullptr) {
        if (!AssignProcessToJobObject(job, child.hProcess)) {
            TerminateProcess(child.hProcess, 126);
            return 126;
        }
        ResumeThread(child.hThread);
    }
    CloseHandle(child.hThread);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(child.hProcess, &status);
    CloseHandle(child.hProcess);
    // Ends whatever the program left in the job.
    if (job != nullptr) CloseHandle(job);
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
