#include "measure/Loop.h"

#include <chrono>
#include <string>
#include <thread>

namespace qd::measure {

Codes Codes::range(std::int32_t from, std::int32_t to, std::int32_t step) {
    Codes c;
    c.from_ = from;
    c.step_ = step;
    c.size_ =
        to < from || step < 1 ? 0 : static_cast<std::size_t>((std::int64_t{to} - from) / step) + 1;
    return c;
}

Codes Codes::list(std::vector<std::int32_t> codes) {
    Codes c;
    c.size_ = codes.size();
    c.list_ = std::move(codes);
    return c;
}

std::int32_t Codes::operator[](std::size_t i) const {
    return list_.empty() ? static_cast<std::int32_t>(from_ + static_cast<std::int64_t>(i) * step_)
                         : list_[i];
}

LoopOutcome runLoop(const Codes& codes, const Program& program, const Probe& probe,
                    const std::vector<Sink>& sinks, const LoopSettings& settings) {
    using Clock = std::chrono::steady_clock;
    const auto settle = std::chrono::duration<double, std::milli>(settings.settleMs);
    const auto begin = Clock::now();
    Clock::duration probing{};
    LoopOutcome outcome;
    try {
        Row row;
        for (std::size_t i = 0; i < codes.size(); ++i) {
            if (settings.stop && (outcome.signal = settings.stop()) != 0) {
                break;
            }
            row.code = codes[i];
            row.frame = program(row.code);
            const auto before = Clock::now();
            if (settings.settleMs > 0) {
                std::this_thread::sleep_for(settle);
            }
            row.values = probe(settings.samples);
            probing += Clock::now() - before;
            // A probe that gives another count than asked for has lost its
            // place: every later value would sit at the wrong code.
            if (row.values.size() != static_cast<std::size_t>(settings.samples)) {
                throw ProbeError("the meter gave " + std::to_string(row.values.size()) +
                                 " values for " + std::to_string(settings.samples) + " samples");
            }
            for (const Sink& sink : sinks) {
                sink(row);
            }
            ++outcome.rows;
            if (settings.progress) {
                settings.progress(outcome.rows);
            }
        }
    } catch (...) {
        outcome.failure = std::current_exception();
    }
    outcome.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    outcome.probeSeconds = std::chrono::duration<double>(probing).count();
    return outcome;
}

} // namespace qd::measure
