#include "drivers/SimFaults.h"

#include "platform/File.h"

#include <cstdio>

namespace qd::drivers {

namespace {

const char* const kLibrary = "simulated board";

} // namespace

SimTrace::SimTrace(const std::string& path) {
    if (path.empty()) {
        return;
    }
    // One write per line keeps lines whole when two processes trace to the
    // same file.
    std::string why;
    fd_ = qd::platform::openForAppend(path, why);
    if (fd_ < 0) {
        diagnose(kLibrary, "trace", path + ": " + why);
    }
}

SimTrace::~SimTrace() {
    if (fd_ >= 0) {
        qd::platform::closeDescriptor(fd_);
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
    if (std::string why; !qd::platform::writeAll(fd_, line, why)) {
        diagnose(kLibrary, "trace", why);
    }
}

} // namespace qd::drivers
