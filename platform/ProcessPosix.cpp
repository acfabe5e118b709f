#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace qd::platform {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

int processId() {
    return static_cast<int>(::getpid());
}

bool processRunning(int pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

bool signalProcess(int pid, int signal) {
    return pid > 0 && ::kill(pid, signal) == 0;
}

bool childrenEndWithThisProcess(std::string&) {
    return true;
}

void endWithParent(int parent) {
#ifdef __linux__
    // SIGTERM, as a stop: the slot keeps its rows, records its run as
    // interrupted and lets its board go, as when its station is stopped.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // A parent that ended before the signal was asked for sends none: this
    // process has been handed to another already.
    if (::getppid() != parent) {
        ::kill(::getpid(), SIGKILL);
    }
#else
    static_cast<void>(parent);
#endif
}

std::string dataFolder() {
    const std::string data = environment("XDG_DATA_HOME");
    if (!data.empty() && data.front() == '/') {
        return data + "/qd1600";
    }
    const std::string home = environment("HOME");
    return home.empty() ? std::string() : home + "/.local/share/qd1600";
}

PrivatePlace privatePlace(const std::string& name) {
    const std::string runtime = environment("XDG_RUNTIME_DIR");
    if (!runtime.empty()) {
        return {runtime + "/qd1600-" + name, ""};
    }
    std::string temporary = environment("TMPDIR");
    if (temporary.empty()) {
        temporary = "/tmp";
    }
    const std::string folder = temporary + "/qd1600-" + std::to_string(::geteuid());
    return {folder + "/" + name, folder};
}

std::string hostName() {
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

std::string userName() {
    if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_name) {
        return entry->pw_name;
    }
    return environment("USER");
}

namespace {

std::string firstLineOf(const std::string& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

std::string processName() {
    const std::string name = firstLineOf("/proc/self/comm");
#ifdef __GLIBC__
    return name.empty() ? std::string(program_invocation_short_name) : name;
#else
    return name;
#endif
}

std::string processName(int pid) {
    return firstLineOf("/proc/" + std::to_string(pid) + "/comm");
}

} // namespace qd::platform

namespace qd::platform {

std::vector<std::string> argumentsInUtf8(int argc, char** argv) {
    return {argv, argv + argc};
}

std::string programFile() {
    // The kernel's link holds the name's bytes themselves, which text in
    // the locale's encoding may not.
    std::string path(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::string moduleFile(const std::string& name) {
    return "lib" + name + ".so";
}

std::vector<int> narrowPathCodes(const std::string& path) {
    std::vector<int> codes;
    codes.reserve(path.size());
    for (const char b : path) {
        codes.push_back(static_cast<unsigned char>(b));
    }
    return codes;
}

} // namespace qd::platform
