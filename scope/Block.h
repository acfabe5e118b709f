#pragma once

// An IEEE 488.2 definite-length block, #<n><length><bytes>, in a scope's
// answer, taken apart without trusting its header. Standard C++ only.

#include <optional>
#include <string>
#include <string_view>

namespace qd::scope {

struct Block {
    std::string_view header; // what came before '#', as Siglent's "C1:WF DAT2,"
    std::string_view bytes;
};

// The block in `answer`; nullopt, with why in `why`, for none, an
// indefinite-length one (#0), a length without its digits, fewer bytes
// than the length says, or more than line ends after them.
std::optional<Block> parseBlock(std::string_view answer, std::string& why);

} // namespace qd::scope
