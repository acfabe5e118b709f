#include "drivers/LinkCall.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace qd::drivers {

namespace {

// Plain data only: a thread_local with a destructor would make the C
// runtime keep the library loaded after the program unloads it, until the
// thread ends. The longest diagnostic holds a path, so there is room for one.
struct LastCall {
    LinkStatus status;
    std::size_t length;
    char text[4096 + 512];
};
thread_local LastCall last;

// Copies text into answer, cut to fit and NUL-terminated; false when it was
// cut.
bool copyAnswer(const std::string& text, char* answer, int size) {
    if (size <= 0) {
        return text.empty();
    }
    const std::size_t room = static_cast<std::size_t>(size) - 1;
    const std::size_t n = std::min(text.size(), room);
    std::memcpy(answer, text.data(), n);
    answer[n] = '\0';
    return text.size() <= room;
}

int answerWith(const LinkResult& result, char* answer, int size) {
    copyAnswer(result.diagnostic, answer, size);
    return static_cast<int>(result.status);
}

// A board number as "select=N" gives it: decimal, 1 to 255.
int boardNumber(std::string_view text) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != text.npos) {
        return 0;
    }
    const int n = std::atoi(std::string(text).c_str());
    return n <= 255 ? n : 0;
}

} // namespace

void recordCall(const LinkResult& result) {
    last.status = result.status;
    last.length = std::min(result.diagnostic.size(), sizeof last.text);
    std::memcpy(last.text, result.diagnostic.data(), last.length);
}

LinkResult lastCall() {
    return {last.status, std::string(last.text, last.length)};
}

int answerLinkQuery(const char* library, const char* query, char* answer, int size,
                    SelectBoard select) {
    const char* const operation = "QD_LinkQuery";
    if (!query || size < 0 || (size > 0 && !answer)) {
        return static_cast<int>(
            fail(LinkStatus::BadArgument, library, operation, "no query or no room for the answer")
                .status);
    }
    const std::string_view q(query);
    if (q == "why") {
        return answerWith(lastCall(), answer, size);
    }
    if (q == "quiet") {
        beQuiet();
        return static_cast<int>(LinkStatus::Ok);
    }
    if (q == "boards") {
        std::string text;
        try {
            for (const auto& board : processBackend().listBoards()) {
                text += board.line() + "\n";
            }
        } catch (const LinkFailure& e) {
            return answerWith(e.result(), answer, size);
        }
        if (!copyAnswer(text, answer, size)) {
            return answerWith(fail(LinkStatus::BadArgument, library, operation,
                                   "boards: the answer needs " + std::to_string(text.size() + 1) +
                                       " bytes, " + std::to_string(size) + " given"),
                              answer, size);
        }
        return static_cast<int>(LinkStatus::Ok);
    }
    constexpr std::string_view selectPrefix = "select=";
    if (q.substr(0, selectPrefix.size()) == selectPrefix) {
        if (!select) {
            return answerWith(fail(LinkStatus::BadArgument, library, operation,
                                   "select: this library talks to the board Connect names"),
                              answer, size);
        }
        const int board = boardNumber(q.substr(selectPrefix.size()));
        if (board == 0) {
            return answerWith(fail(LinkStatus::BadArgument, library, operation,
                                   "not a board number: " + std::string(q)),
                              answer, size);
        }
        try {
            return answerWith(select(board), answer, size);
        } catch (const LinkFailure& e) {
            return answerWith(e.result(), answer, size);
        }
    }
    return answerWith(
        fail(LinkStatus::BadArgument, library, operation, "unknown query: " + std::string(q)),
        answer, size);
}

} // namespace qd::drivers
