#pragma once

// The bytes of one connection into complete messages. A line feed ends a
// message and a carriage return right before it is dropped. A message longer
// than its limit (kMaxMessageBytes unless told) is thrown away, everything up to its line feed, and
// reported once as an overrun; the connection goes on with the next message.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qd::scpi {

class MessageFramer {
  public:
    static constexpr std::size_t kMaxMessageBytes = 4096;

    // Messages longer than maxBytes are overruns: an instrument takes
    // kMaxMessageBytes, a client reading many readings at once more.
    explicit MessageFramer(std::size_t maxBytes = kMaxMessageBytes) : maxBytes_(maxBytes) {}

    struct Event {
        enum Kind { Message, Overrun };
        Kind kind = Message;
        std::string message; // without its line end; empty for an overrun
    };

    // Bytes as they arrived. Call it only once next() has nothing left: then
    // the buffer holds at most one unfinished message of kMaxMessageBytes
    // (and its CR) besides what this call brings.
    void append(std::string_view bytes);

    // The next complete message or overrun, in the order of the bytes;
    // nothing while the bytes so far end inside a message.
    std::optional<Event> next();

    // While on, a '#' with a digit 1 to 9 and that many digits of length
    // after it begins an IEEE 488.2 definite-length block: its bytes, line
    // feeds and a CR at its end among them, belong to the message, which may
    // then be up to `maxBytes` long. An instrument's binary answer is read so.
    void setBlocks(bool on, std::size_t maxBytes) {
        blocks_ = on;
        maxBytes_ = maxBytes;
    }

    std::size_t buffered() const { return buffer_.size() - start_; }
    // Once next() has nothing left: whether the bytes so far end inside a
    // message, one being thrown away as too long included.
    bool inMessage() const { return discarding_ || buffered() > 0; }

  private:
    // The line feed that ends the message at start_, npos while it has not
    // all come; `dataEnd` is where the bytes of its last block end.
    std::size_t messageEnd(std::size_t& dataEnd) const;

    std::size_t maxBytes_;
    bool blocks_ = false;
    std::string buffer_;
    std::size_t start_ = 0;   // where the unconsumed bytes begin
    bool discarding_ = false; // inside a message already reported as too long
};

} // namespace qd::scpi
