#include "scpi/Framing.h"

namespace qd::scpi {

void MessageFramer::append(std::string_view bytes) {
    if (start_ > 0) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(bytes);
}

std::optional<MessageFramer::Event> MessageFramer::next() {
    while (true) {
        const std::size_t lineFeed = buffer_.find('\n', start_);
        if (lineFeed == std::string::npos) {
            const std::size_t pending = buffer_.size() - start_;
            // A full-length message may still be waiting for its CR LF.
            const bool tooLong =
                pending > maxBytes_ + 1 || (pending == maxBytes_ + 1 && buffer_.back() != '\r');
            if (discarding_ || tooLong) {
                buffer_.clear();
                start_ = 0;
                if (!discarding_) {
                    discarding_ = true;
                    return Event{Event::Overrun, {}};
                }
            }
            return std::nullopt;
        }
        std::string_view message(buffer_.data() + start_, lineFeed - start_);
        start_ = lineFeed + 1;
        if (discarding_) {
            discarding_ = false; // the overrun was reported when it began
            continue;
        }
        if (!message.empty() && message.back() == '\r') {
            message.remove_suffix(1);
        }
        if (message.size() > maxBytes_) {
            return Event{Event::Overrun, {}};
        }
        return Event{Event::Message, std::string(message)};
    }
}

} // namespace qd::scpi
