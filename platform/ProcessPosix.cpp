#include "platform/Process.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace qd::platform {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

int processId() {
    return static_cast<int>(::getpid());
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
