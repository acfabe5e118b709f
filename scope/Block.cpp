#include "scope/Block.h"

namespace qd::scope {

std::optional<Block> parseBlock(std::string_view answer, std::string& why) {
    const std::size_t hash = answer.find('#');
    if (hash == std::string_view::npos) {
        why = "holds no binary block (#)";
        return std::nullopt;
    }
    if (hash + 1 >= answer.size()) {
        why = "ends at its block's '#'";
        return std::nullopt;
    }
    const char n = answer[hash + 1];
    if (n == '0') {
        why = "is an indefinite-length block (#0), whose end cannot be told from its bytes";
        return std::nullopt;
    }
    if (n < '1' || n > '9') {
        why = "has no length digit count after its block's '#'";
        return std::nullopt;
    }
    const std::size_t digits = static_cast<std::size_t>(n - '0');
    const std::size_t first = hash + 2 + digits;
    std::size_t length = 0;
    for (std::size_t at = hash + 2; at < first; ++at) {
        if (at >= answer.size() || answer[at] < '0' || answer[at] > '9') {
            why = "has a block header #" + std::string(1, n) + " without " +
                  std::to_string(digits) + " digits of length";
            return std::nullopt;
        }
        length = length * 10 + static_cast<std::size_t>(answer[at] - '0');
    }
    const std::size_t came = answer.size() - first;
    if (came < length) {
        why = "has a truncated block: " + std::to_string(came) + " of its " +
              std::to_string(length) + " bytes came";
        return std::nullopt;
    }
    // A line end after the bytes is the message's; Siglent sends two.
    const std::string_view after = answer.substr(first + length);
    if (after.find_first_not_of("\r\n") != std::string_view::npos) {
        why = "has " + std::to_string(after.size()) + " bytes after its block of " +
              std::to_string(length);
        return std::nullopt;
    }
    return Block{answer.substr(0, hash), answer.substr(first, length)};
}

} // namespace qd::scope
