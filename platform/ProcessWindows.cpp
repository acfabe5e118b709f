#include "platform/Error.h"
#include "platform/Process.h"
#include "platform/Win32.h"

#include <cstdlib>
#include <shellapi.h>

namespace qd::platform {

std::string environment(const char* name) {
    const wchar_t* value = ::_wgetenv(widen(name).c_str());
    return value ? narrow(value) : std::string();
}

int processId() {
    return static_cast<int>(::GetCurrentProcessId());
}

bool processRunning(int pid) {
    const HANDLE process =
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) {
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    }
    DWORD code = 0;
    const bool running = ::GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    ::CloseHandle(process);
    return running;
}

bool signalProcess(int, int) {
    return false;
}

bool childrenEndWithThisProcess(std::string& why) {
    // Never closed: the job's last handle closes as this process ends, which
    // kills every child in it.
    static HANDLE job = nullptr;
    if (job) {
        return true;
    }
    const HANDLE made = ::CreateJobObjectW(nullptr, nullptr);
    if (!made) {
        why = lastErrorText();
        return false;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits) ||
        !::AssignProcessToJobObject(made, ::GetCurrentProcess())) {
        why = lastErrorText();
        ::CloseHandle(made);
        return false;
    }
    job = made;
    return true;
}

void endWithParent(int) {}

std::string dataFolder() {
    const std::string local = environment("LOCALAPPDATA");
    return local.empty() ? std::string() : local + "\\QD1600";
}

PrivatePlace privatePlace(const std::string& name) {
    std::string base = environment("LOCALAPPDATA");
    if (base.empty()) {
        std::wstring temporary(MAX_PATH + 1, L'\0');
        const DWORD n = ::GetTempPathW(static_cast<DWORD>(temporary.size()), temporary.data());
        temporary.resize(n);
        base = narrow(temporary);
    }
    while (!base.empty() && (base.back() == '\\' || base.back() == '/')) {
        base.pop_back();
    }
    const std::string folder = base + "\\QD1600";
    return {folder + "\\" + name, folder};
}

std::string hostName() {
    return environment("COMPUTERNAME");
}

std::string userName() {
    return environment("USERNAME");
}

namespace {

std::string fileNameOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return narrow(slash == std::wstring::npos ? path : path.substr(slash + 1));
}

} // namespace

std::string programFile() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return {};
        }
        if (n < path.size()) {
            path.resize(n);
            return narrow(path);
        }
        path.resize(path.size() * 2);
    }
}

std::string moduleFile(const std::string& name) {
    return name + ".dll";
}

std::string processName() {
    const std::string path = programFile();
    const auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<int> narrowPathCodes(const std::string& path) {
    // Where the ANSI code page is UTF-8 (an option of Windows 10 and 11), the
    // call refuses both the flag and the question; UTF-8 has no look-alikes
    // to guard against, and a character of two bytes or more still fails.
    const bool utf8 = ::GetACP() == CP_UTF8;
    const std::wstring text = widen(path);
    std::vector<int> codes;
    codes.reserve(text.size());
    for (const wchar_t unit : text) {
        char bytes[2] = {};
        BOOL lacking = FALSE;
        const int n =
            ::WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, &unit, 1, bytes,
                                  sizeof bytes, nullptr, utf8 ? nullptr : &lacking);
        if (n == 1 && !lacking) {
            codes.push_back(static_cast<unsigned char>(bytes[0]));
        } else if (n == 2 && !lacking) {
            codes.push_back(static_cast<unsigned char>(bytes[0]) << 8 |
                            static_cast<unsigned char>(bytes[1]));
        } else {
            codes.push_back(0x10000);
        }
    }
    return codes;
}

std::string processName(int pid) {
    const Handle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    if (!process.valid()) {
        return {};
    }
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (!::QueryFullProcessImageNameW(process.get(), 0, path.data(), &size)) {
        return {};
    }
    path.resize(size);
    return fileNameOf(path);
}

} // namespace qd::platform

namespace qd::platform {

std::vector<std::string> argumentsInUtf8(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!wide || count != argc) {
        // Not the command line main was given (a caller of its own): as given.
        if (wide) {
            ::LocalFree(wide);
        }
        return {argv, argv + argc};
    }
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        arguments.push_back(narrow(wide[i]));
    }
    ::LocalFree(wide);
    return arguments;
}

} // namespace qd::platform
