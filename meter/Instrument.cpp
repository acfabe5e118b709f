#include "meter/Instrument.h"

#include "scpi/Parser.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace qd::meter {

namespace {

// *OPC? asked this often, at most, to bring an instrument back in step.
constexpr int kSynchroniseTries = 3;
// How long a query that only the report needs is waited for: an
// instrument that knows it answers at once.
constexpr std::chrono::milliseconds kOptionalTimeout{1000};

std::string upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

std::string seconds(std::chrono::milliseconds t) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(t.count()) / 1000);
    return text;
}

} // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        // C1 controls come as two bytes in UTF-8: C2 80 to C2 9F.
        const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                        (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if (c < 0x20 || c == 0x7F || c1) {
            const unsigned code = c1 ? static_cast<unsigned char>(text[++i]) : c;
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", code);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    return std::string(text);
}

bool namedIn(const char* names, std::string_view field, bool prefix) {
    if (!names) {
        return true;
    }
    std::string_view rest = names;
    const std::string wanted = upper(field);
    while (!rest.empty()) {
        const std::string name = upper(rest.substr(0, rest.find('|')));
        rest.remove_prefix(std::min(rest.size(), name.size() + 1));
        if (prefix ? wanted.starts_with(name) : wanted == name) {
            return true;
        }
    }
    return false;
}

Instrument::Instrument(std::unique_ptr<Transport> transport, std::string kind, std::string resource,
                       std::chrono::milliseconds timeout, Notice notice)
    : transport_(std::move(transport)), kind_(std::move(kind)), resource_(std::move(resource)),
      timeout_(timeout), notice_(std::move(notice)) {}

void Instrument::fail(const std::string& what) const {
    throw MeterError(kind_ + " " + resource_ + (identity_.empty() ? "" : " (" + identity_ + ")") +
                     ": " + what);
}

std::string Instrument::reasonOf(std::string_view message) const {
    // The carriers name whatever they reach a meter.
    const std::string prefix = "meter " + resource_ + ": ";
    if (message.starts_with(prefix)) {
        message.remove_prefix(prefix.size());
    }
    return printable(message);
}

void Instrument::discarded(std::size_t count) {
    if (count == 0) {
        return;
    }
    if (discarded_ == 0 && notice_) {
        notice_(kind_ + " " + resource_ + ": discarded a reply nobody asked for (a late answer?)");
    }
    discarded_ += count;
}

bool Instrument::discardPending() {
    const std::size_t n = transport_->drain();
    discarded(n);
    return n > 0;
}

void Instrument::send(const std::string& message) {
    try {
        transport_->send(message);
    } catch (const MeterError& e) {
        fail(message + ": " + reasonOf(e.what()));
    }
}

std::string Instrument::exchange(const std::string& message, std::chrono::milliseconds timeout,
                                 bool block) {
    send(message);
    try {
        return block ? transport_->receiveBlock(timeout) : transport_->receive(timeout);
    } catch (const MeterTimeout&) {
        throw;
    } catch (const MeterError& e) {
        fail(message + ": " + reasonOf(e.what()));
    }
}

bool Instrument::synchronise(std::chrono::milliseconds within) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + within;
    const auto slice = std::max(within / kSynchroniseTries, std::chrono::milliseconds(1));
    for (int attempt = 0; attempt < kSynchroniseTries && Clock::now() < deadline; ++attempt) {
        send("*OPC?");
        // Whatever comes before its 1 answers an earlier query.
        while (true) {
            const auto left = std::min(slice, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  deadline - Clock::now()));
            if (left.count() <= 0) {
                break;
            }
            std::string answer;
            try {
                answer = transport_->receive(left);
            } catch (const MeterTimeout&) {
                break;
            } catch (const MeterError& e) {
                fail("*OPC?: " + reasonOf(e.what()));
            }
            if (trimmed(answer) == "1") {
                return true;
            }
            discarded(1);
        }
    }
    return false;
}

void Instrument::discardStale(std::chrono::milliseconds within) {
    // An answer waiting now is nobody's: a late one, or one sent twice.
    // What may still be on its way of it is taken by *OPC?'s answer.
    if (discardPending() && !synchronise(within)) {
        fail("it sent a reply nobody asked for, and does not answer *OPC? within " +
             seconds(within) + " s");
    }
}

void Instrument::clearAndSynchronise(const std::string& what, std::chrono::milliseconds within) {
    send("*CLS");
    if (!synchronise(within)) {
        fail(what + ", and after *CLS it does not answer *OPC?");
    }
}

std::string Instrument::ask(const std::string& message, std::chrono::milliseconds timeout,
                            bool block) {
    discardStale(timeout);
    try {
        return exchange(message, timeout, block);
    } catch (const MeterTimeout&) {
    }
    // Once in step again, its late answer thrown away, the query is asked
    // once more.
    const std::string timedOut = message + " timed out after " + seconds(timeout) + " s";
    clearAndSynchronise(timedOut, timeout);
    try {
        return exchange(message, timeout, block);
    } catch (const MeterTimeout&) {
        fail(timedOut + ", also when asked again");
    }
}

std::string Instrument::query(const std::string& message, std::chrono::milliseconds timeout) {
    return ask(message, timeout, false);
}

std::string Instrument::queryBlock(const std::string& message, std::chrono::milliseconds timeout) {
    return ask(message, timeout, true);
}

std::optional<std::string> Instrument::askOptional(const std::string& message) {
    discardStale(timeout_);
    try {
        return exchange(message, std::min(timeout_, kOptionalTimeout), false);
    } catch (const MeterTimeout&) {
    }
    // A header the instrument does not know leaves -113 in its error queue
    // and no answer: *CLS empties the queue, and *OPC? brings it back in
    // step, throwing away a late answer should one still come.
    clearAndSynchronise(message + " was not answered", timeout_);
    return std::nullopt;
}

std::optional<std::string> Instrument::askIfKnown(const std::string& message) {
    discardStale(timeout_);
    send(message);
    try {
        const std::string first = exchange("*OPC?", timeout_, false);
        if (trimmed(first) == "1") {
            send("*CLS");
            return std::nullopt;
        }
        // Then *OPC?'s own answer.
        if (trimmed(transport_->receive(timeout_)) == "1") {
            return first;
        }
    } catch (const MeterTimeout&) {
    } catch (const MeterError& e) {
        fail(message + ": " + reasonOf(e.what()));
    }
    clearAndSynchronise(message + " was not answered in step with *OPC?", timeout_);
    return std::nullopt;
}

std::string Instrument::nextError(const std::string& errorQuery) {
    const std::string answer = query(errorQuery, timeout_);
    const scpi::ParsedResponse parsed = scpi::parseResponse(answer);
    if (parsed.error != 0 || parsed.data.size() != 2 ||
        parsed.data[0].kind != scpi::DataKind::Decimal ||
        parsed.data[1].kind != scpi::DataKind::String) {
        fail("its " + errorQuery + " answer \"" + printable(answer.substr(0, 80)) +
             "\" is no error entry");
    }
    return parsed.data[0].number == 0 ? std::string() : printable(answer);
}

void Instrument::command(const std::string& message, const std::string& errorQuery) {
    send(message);
    if (const std::string error = nextError(errorQuery); !error.empty()) {
        fail("refused \"" + message + "\": " + error);
    }
}

} // namespace qd::meter
