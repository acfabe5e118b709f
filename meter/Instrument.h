#pragma once

// One SCPI instrument on a transport, kept in step with its client: the
// queries, the error queue and the way back after a timeout or an answer
// nobody asked for, which the meter's and the scope's clients share.

#include "meter/Transport.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qd::meter {

// What an instrument sent, fit for a terminal and a message: control
// characters (C0, DEL and C1) as \xNN text.
std::string printable(std::string_view text);

// `text` without the white space around it.
std::string trimmed(std::string_view text);

// Whether `field` is one of the '|'-separated names, in any case (prefix:
// begins with one); nullptr names any.
bool namedIn(const char* names, std::string_view field, bool prefix);

class Instrument {
  public:
    // Told once, the first time the instrument sends something nobody asked for.
    using Notice = std::function<void(const std::string& message)>;

    // Failures name it as "<kind> <resource> (<identity>): ", the identity
    // once it is set.
    Instrument(std::unique_ptr<Transport> transport, std::string kind, std::string resource,
               std::chrono::milliseconds timeout, Notice notice = {});

    // Asks, first throwing away what came unasked; after a timeout the
    // instrument is brought back in step (*CLS, *OPC?) and asked once more.
    std::string query(const std::string& message, std::chrono::milliseconds timeout);
    std::string query(const std::string& message) { return query(message, timeout_); }
    // As query(), for an answer that holds a definite-length block.
    std::string queryBlock(const std::string& message, std::chrono::milliseconds timeout);
    void send(const std::string& message);
    // Sends a command, then asks the error queue with `errorQuery`, whose
    // answer also tells that the command has run; a MeterError naming the
    // command and the error when the instrument refused it.
    void command(const std::string& message, const std::string& errorQuery);
    // The oldest entry of the error queue, or "" when it is empty.
    std::string nextError(const std::string& errorQuery);
    // A query whose answer only a report shows: asked so that an
    // instrument that does not know it costs a short wait, not the run.
    std::optional<std::string> askOptional(const std::string& message);
    // As askOptional(), with no wait: *OPC? follows the query, and its 1
    // alone tells that the instrument did not know it. The error that left
    // is cleared with *CLS.
    std::optional<std::string> askIfKnown(const std::string& message);

    // Throws away what came unasked; true when there was something.
    bool discardPending();
    // *CLS, then *OPC? until it answers; MeterError saying `what` first
    // when it does not.
    void clearAndSynchronise(const std::string& what, std::chrono::milliseconds within);

    [[noreturn]] void fail(const std::string& what) const;
    void setIdentity(std::string identity) { identity_ = std::move(identity); }
    const std::string& identity() const { return identity_; }
    const std::string& resource() const { return resource_; }
    std::chrono::milliseconds timeout() const { return timeout_; }
    std::size_t discarded() const { return discarded_; }

  private:
    // Sends and takes the answer; MeterTimeout passes, other failures name
    // the message.
    std::string exchange(const std::string& message, std::chrono::milliseconds timeout, bool block);
    std::string ask(const std::string& message, std::chrono::milliseconds timeout, bool block);
    // Before a query: what came unasked thrown away and, if there was
    // something, the instrument brought back in step; MeterError when it is not.
    void discardStale(std::chrono::milliseconds within);
    void discarded(std::size_t count);
    // *OPC? until it answers 1, what comes before that thrown away; false
    // when it does not within `within`.
    bool synchronise(std::chrono::milliseconds within);
    // A carrier's failure without the instrument named again.
    std::string reasonOf(std::string_view message) const;

    std::unique_ptr<Transport> transport_;
    std::string kind_;
    std::string resource_;
    std::chrono::milliseconds timeout_;
    Notice notice_;
    std::string identity_;
    std::size_t discarded_ = 0;
};

} // namespace qd::meter
