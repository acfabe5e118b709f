#include "scpi/Framing.h"

namespace qd::scpi {

void MessageFramer::append(std::string_view bytes) {
    if (start_ > 0) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(bytes);
}

std::size_t MessageFramer::messageEnd(std::size_t& dataEnd) const {
    dataEnd = start_;
    std::size_t from = start_;
    while (true) {
        const std::size_t lineFeed = buffer_.find('\n', from);
        const std::size_t hash = blocks_ ? buffer_.find('#', from) : std::string::npos;
        if (hash == std::string::npos || hash > lineFeed) {
            return lineFeed;
        }
        // Its length's digits may still be on their way.
        if (hash + 2 > buffer_.size()) {
            return std::string::npos;
        }
        const char digits = buffer_[hash + 1];
        std::size_t length = 0;
        std::size_t at = hash + 2;
        // #0 (indefinite length) and a lone '#' are no definite block: the
        // line feed ends them.
        bool block = digits >= '1' && digits <= '9';
        for (; block && at < hash + 2 + static_cast<std::size_t>(digits - '0'); ++at) {
            if (at >= buffer_.size()) {
                return std::string::npos;
            }
            block = buffer_[at] >= '0' && buffer_[at] <= '9';
            length = length * 10 + static_cast<std::size_t>(buffer_[at] - '0');
        }
        if (!block) {
            from = hash + 1;
            continue;
        }
        if (length > buffer_.size() - at) {
            return std::string::npos;
        }
        from = dataEnd = at + length;
    }
}

std::optional<MessageFramer::Event> MessageFramer::next() {
    while (true) {
        std::size_t dataEnd = 0;
        const std::size_t lineFeed = messageEnd(dataEnd);
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
        if (!message.empty() && message.back() == '\r' && lineFeed > dataEnd) {
            message.remove_suffix(1);
        }
        if (message.size() > maxBytes_) {
            return Event{Event::Overrun, {}};
        }
        return Event{Event::Message, std::string(message)};
    }
}

} // namespace qd::scpi
