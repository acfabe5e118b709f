#pragma once

#include "drivers/Backend.h"
#include "drivers/SimConfig.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qd::drivers {

// The faults a test asks the simulated board for. An injected unplug is
// this process's alone, as pulling a cable is seen only by the program that
// had the board: the next program finds it plugged in again.
class SimFaults {
  public:
    explicit SimFaults(const SimConfig& config)
        : downloadFails_(config.downloadFails), noReply_(config.noReply),
          unplugAfter_(config.unplugAfter) {}

    bool downloadFails() const { return downloadFails_; }
    bool noReply() const { return noReply_; }
    bool unplugged() const { return unplugged_.load(std::memory_order_relaxed); }

    // Counts the request numbered `requestsSinceDownload` against
    // unplug-after=N; true when the board is gone from then on.
    bool unplugsAt(std::uint64_t requestsSinceDownload) {
        if (unplugAfter_ && requestsSinceDownload > static_cast<std::uint64_t>(*unplugAfter_)) {
            unplugged_.store(true, std::memory_order_relaxed);
        }
        return unplugged();
    }

  private:
    bool downloadFails_;
    bool noReply_;
    std::optional<long> unplugAfter_;
    std::atomic<bool> unplugged_{false};
};

// The QD_BOARD_TRACE file of one connection, open for as long as it lives:
// one line per operation, every field in it. With no trace, nothing is
// formatted at all.
class SimTrace {
  public:
    explicit SimTrace(const std::string& path);
    ~SimTrace();
    SimTrace(const SimTrace&) = delete;
    SimTrace& operator=(const SimTrace&) = delete;

    bool on() const { return fd_ >= 0; }

    // "download path=… result=ok"
    void download(const std::string& path, const LinkResult& result);
    // "request code=218 value=0 index=0 direction=1 length=2 data=1000
    // result=ok": data is the reply the board made, if any.
    void request(const VendorRequest& r, const std::uint8_t* reply, std::size_t replyLength,
                 const LinkResult& result);

  private:
    void write(std::string_view line);

    int fd_ = -1;
};

} // namespace qd::drivers
