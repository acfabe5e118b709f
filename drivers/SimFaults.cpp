#include "drivers/SimFaults.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace qd::drivers {

namespace {

const char* const kLibrary = "simulated board";

} // namespace

SimTrace::SimTrace(const std::string& path) {
    if (path.empty()) {
        return;
    }
    // O_APPEND and one write per line keep lines whole when two processes
    // trace to the same file.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        diagnose(kLibrary, "trace", path + ": " + std::strerror(errno));
    }
}

SimTrace::~SimTrace() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void SimTrace::download(const std::string& path, const LinkResult& result) {
    if (!on()) {
        return;
    }
    write("download path=" + path + " result=" + (result ? "ok" : "fail") + "\n");
}

void SimTrace::request(const VendorRequest& r, const std::uint8_t* reply, std::size_t replyLength,
                       const LinkResult& result) {
    if (!on()) {
        return;
    }
    char data[2 * 8 + 1] = {};
    for (std::size_t i = 0; i < replyLength && i < 8; ++i) {
        std::snprintf(data + 2 * i, 3, "%02X", reply[i]);
    }
    char line[192];
    const int n = std::snprintf(
        line, sizeof line,
        "request code=%u value=%u index=%u direction=%d length=%u data=%s result=%s\n",
        unsigned{r.code}, unsigned{r.value}, unsigned{r.index}, r.direction, unsigned{r.length},
        data, result ? "ok" : "fail");
    write(std::string_view(line, static_cast<std::size_t>(n)));
}

void SimTrace::write(std::string_view line) {
    if (::write(fd_, line.data(), line.size()) < 0) {
        diagnose(kLibrary, "trace", std::strerror(errno));
    }
}

} // namespace qd::drivers
