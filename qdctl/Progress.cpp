#include "qdctl/Progress.h"

#include "platform/StandardStreams.h"
#include "run/StationProtocol.h"

#include <cstdio>
#include <string>

namespace qd::qdctl {

using namespace std::chrono;

namespace {

// Short sweeps end before anyone would read a progress line.
constexpr std::size_t kWorthShowing = 256;

} // namespace

std::string minutesAndSeconds(double seconds) {
    const auto whole = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

Progress::Progress(bool enabled, const char* what, bool slow, bool forStation)
    : enabled_(enabled), slow_(slow), forStation_(forStation), what_(what), every_(slow ? 1 : 64),
      terminal_(platform::isTerminal(platform::kStandardError)), begin_(steady_clock::now()),
      lastShown_(begin_) {}

void Progress::started(std::size_t total) {
    total_ = total;
    enabled_ = enabled_ && (slow_ || total > kWorthShowing);
    begin_ = lastShown_ = steady_clock::now();
}

void Progress::progress(std::size_t done, std::size_t /*total*/) {
    if (forStation_) {
        std::fputs(run::slotProgressLine({done, total_}).c_str(), stderr);
        std::fflush(stderr);
        return;
    }
    // The clock is read only now and then: a sweep's row costs microseconds.
    if (!enabled_ || (done % every_ != 0 && done != total_)) {
        return;
    }
    const auto now = steady_clock::now();
    const auto every = terminal_ ? milliseconds(200) : milliseconds(5000);
    if (now - lastShown_ >= every || (terminal_ && done == total_)) {
        show(done, now);
        lastShown_ = now;
    }
}

void Progress::show(std::size_t done, steady_clock::time_point now) {
    const double elapsed = duration<double>(now - begin_).count();
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
    const auto percent = static_cast<unsigned>(100 * done / total_);
    if (terminal_) {
        constexpr std::size_t width = 30;
        const std::size_t filled = width * done / total_;
        std::fprintf(stderr, "\r[%s%s] %3u%% %zu/%zu  %.0f codes/s  %s left ",
                     std::string(filled, '#').c_str(), std::string(width - filled, ' ').c_str(),
                     percent, done, total_, rate, minutesAndSeconds(left).c_str());
    } else {
        std::fprintf(stderr, "qdctl: %s %zu/%zu codes (%u%%), %.1f codes/s, %s left\n", what_, done,
                     total_, percent, rate, minutesAndSeconds(left).c_str());
    }
    std::fflush(stderr);
    shown_ = true;
}

void Progress::finished() {
    if (shown_ && terminal_) {
        std::fputc('\n', stderr);
    }
    shown_ = false;
}

} // namespace qd::qdctl
