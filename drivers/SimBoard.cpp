#include "drivers/SimBoard.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace qd::drivers {

namespace {

const char* const kLibrary = "simulated board";

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

std::string defaultStatePath() {
    const std::string name = "qd1600-board-" + std::to_string(getuid()) + ".state";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        return std::string(runtime) + "/" + name;
    }
    return envOr("TMPDIR", "/tmp") + "/" + name;
}

// The board's state file, open for as long as a connection lives.
class StateFile {
  public:
    explicit StateFile(const std::string& path)
        : path_(path), fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_ < 0) {
            diagnose(kLibrary, "state", path + ": " + std::strerror(errno));
        }
    }
    ~StateFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    int fd_;
};

// Holds the state file locked for one operation, so that two programs
// driving the same board never interleave.
class LockedState {
  public:
    explicit LockedState(const StateFile& file) : fd_(file.fd()) {
        if (fd_ < 0 || ::flock(fd_, LOCK_EX) != 0) {
            diagnose(kLibrary, "state", file.path() + ": " + std::strerror(errno));
            fd_ = -1;
            return;
        }
        char text[kRecordSize + 1] = {};
        const ssize_t n = ::pread(fd_, text, kRecordSize, 0);
        state = parse(std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0));
    }
    ~LockedState() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
        }
    }
    LockedState(const LockedState&) = delete;
    LockedState& operator=(const LockedState&) = delete;

    bool ok() const { return fd_ >= 0; }

    void save() {
        const auto& m = state.model;
        // A fixed-size record: rewriting it in place needs no truncation.
        char text[kRecordSize + 1];
        std::snprintf(text, sizeof text,
                      "firmware=%d\nunplugged=%d\nrequests=%ld\nwritten=%d\nvalue=%u\nindex=%u\n",
                      state.firmwareLoaded, state.unplugged, state.requests, m.written, m.lastValue,
                      m.lastIndex);
        const std::size_t used = std::strlen(text);
        std::memset(text + used, ' ', kRecordSize - used);
        if (::pwrite(fd_, text, kRecordSize, 0) != static_cast<ssize_t>(kRecordSize)) {
            diagnose(kLibrary, "state", std::strerror(errno));
        }
    }

    static SimBoardState parse(const std::string& text) {
        SimBoardState s;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            const auto eq = line.find('=');
            if (eq == std::string::npos) {
                continue;
            }
            const std::string key = line.substr(0, eq);
            const unsigned long v = std::strtoul(line.c_str() + eq + 1, nullptr, 10);
            if (key == "firmware") {
                s.firmwareLoaded = v != 0;
            } else if (key == "unplugged") {
                s.unplugged = v != 0;
            } else if (key == "requests") {
                s.requests = static_cast<long>(v);
            } else if (key == "written") {
                s.model.written = v != 0;
            } else if (key == "value") {
                s.model.lastValue = static_cast<std::uint32_t>(v);
            } else if (key == "index") {
                s.model.lastIndex = static_cast<std::uint32_t>(v);
            }
        }
        return s;
    }

    SimBoardState state;

  private:
    static constexpr std::size_t kRecordSize = 128;
    int fd_ = -1;
};

std::string hexBytes(const std::uint8_t* data, std::size_t n) {
    std::string out;
    char b[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", data[i]);
        out += b;
    }
    return out;
}

class SimConnection final : public BoardConnection {
  public:
    explicit SimConnection(const SimBackend& backend)
        : backend_(backend), file_(backend.config().statePath) {}

    bool downloadFirmware(const std::string& path) override {
        const bool ok = download(path);
        backend_.trace("download path=" + path + " result=" + (ok ? "ok" : "fail"));
        return ok;
    }

    bool request(const VendorRequest& r) override {
        std::string reply;
        const bool ok = handle(r, reply);
        std::ostringstream line;
        line << "request code=" << unsigned{r.code} << " value=" << r.value << " index=" << r.index
             << " direction=" << r.direction << " length=" << r.length << " data=" << reply
             << " result=" << (ok ? "ok" : "fail");
        backend_.trace(line.str());
        return ok;
    }

  private:
    bool download(const std::string& path) {
        const auto& config = backend_.config();
        LockedState locked(file_);
        if (!locked.ok()) {
            return false;
        }
        if (locked.state.unplugged) {
            diagnose(kLibrary, "download", "board unplugged");
            return false;
        }
        if (config.downloadFails) {
            diagnose(kLibrary, "download", "fault: download fails");
            return false;
        }
        HexImage image;
        try {
            image = readIntelHexFile(path);
        } catch (const IntelHexError& e) {
            diagnose(kLibrary, "download", "firmware image " + path + ": " + e.what());
            return false;
        }
        if (!isSimulatedBoardFirmware(image)) {
            diagnose(kLibrary, "download", path + ": not a firmware image for this board");
            return false;
        }
        // The microcontroller restarts: the converter powers up at 0 V.
        locked.state = SimBoardState{};
        locked.state.firmwareLoaded = true;
        locked.save();
        return true;
    }

    bool handle(const VendorRequest& r, std::string& reply) {
        const auto& config = backend_.config();
        LockedState locked(file_);
        if (!locked.ok()) {
            return false;
        }
        auto& state = locked.state;
        if (state.unplugged) {
            diagnose(kLibrary, "request", "board unplugged");
            return false;
        }
        if (!state.firmwareLoaded) {
            diagnose(kLibrary, "request", "no firmware loaded");
            return false;
        }
        ++state.requests;
        if (config.unplugAfter && state.requests > *config.unplugAfter) {
            state.unplugged = true;
            locked.save();
            diagnose(kLibrary, "request", "board unplugged");
            return false;
        }
        state.model.referenceVolts = config.referenceVolts;
        state.model.faults.ignorePowerDown = config.ignorePowerDown;
        bool ok = false;
        if (r.code == kRequestWriteFrame && r.direction == 0 && r.length == 0) {
            ok = state.model.writeFrame(r.value, r.index);
        } else if (r.code == kRequestReadConverter && r.direction == 1 && r.length >= 2 &&
                   r.buffer) {
            const auto bytes = state.model.readReply();
            reply = hexBytes(bytes.data(), bytes.size());
            if (!config.noReply) {
                r.buffer[0] = bytes[0];
                r.buffer[1] = bytes[1];
            }
            ok = true;
        }
        if (!ok) {
            diagnose(kLibrary, "request", "request " + std::to_string(r.code) + " refused");
        }
        locked.save();
        return ok;
    }

    const SimBackend& backend_;
    StateFile file_;
};

} // namespace

SimBoardConfig SimBoardConfig::fromEnvironment() {
    SimBoardConfig c;
    c.statePath = envOr("QD_BOARD_STATE", defaultStatePath());
    c.tracePath = envOr("QD_BOARD_TRACE", "");
    const std::string vref = envOr("QD_BOARD_VREF", "");
    if (!vref.empty()) {
        char* end = nullptr;
        const double v = std::strtod(vref.c_str(), &end);
        if (end && *end == '\0' && v > 0) {
            c.referenceVolts = v;
        } else {
            diagnose(kLibrary, "QD_BOARD_VREF", "not a positive voltage: " + vref);
        }
    }
    std::istringstream faults(envOr("QD_BOARD_FAULT", ""));
    std::string fault;
    while (std::getline(faults, fault, ',')) {
        if (fault == "download-fails") {
            c.downloadFails = true;
        } else if (fault == "no-reply") {
            c.noReply = true;
        } else if (fault == "ignore-power-down") {
            c.ignorePowerDown = true;
        } else if (fault.rfind("unplug-after=", 0) == 0) {
            c.unplugAfter = std::strtol(fault.c_str() + 13, nullptr, 10);
        } else if (!fault.empty()) {
            diagnose(kLibrary, "QD_BOARD_FAULT", "unknown fault: " + fault);
        }
    }
    return c;
}

SimBackend::SimBackend(SimBoardConfig config) : config_(std::move(config)) {}

std::vector<int> SimBackend::findBoards() {
    if (loadSimBoardState(config_.statePath).unplugged) {
        return {};
    }
    return {1};
}

std::unique_ptr<BoardConnection> SimBackend::open(int board) {
    if (board != 1 || loadSimBoardState(config_.statePath).unplugged) {
        diagnose(kLibrary, "open", "no board " + std::to_string(board));
        return nullptr;
    }
    return std::make_unique<SimConnection>(*this);
}

void SimBackend::trace(const std::string& line) const {
    if (config_.tracePath.empty()) {
        return;
    }
    // One write per line with O_APPEND keeps lines whole when two
    // processes trace to the same file.
    const int fd =
        ::open(config_.tracePath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        diagnose(kLibrary, "trace", config_.tracePath + ": " + std::strerror(errno));
        return;
    }
    const std::string text = line + "\n";
    if (::write(fd, text.data(), text.size()) < 0) {
        diagnose(kLibrary, "trace", std::strerror(errno));
    }
    ::close(fd);
}

SimBoardState loadSimBoardState(const std::string& path) {
    const StateFile file(path);
    LockedState locked(file);
    return locked.state;
}

} // namespace qd::drivers
