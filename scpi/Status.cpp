#include "scpi/Status.h"

#include "scpi/Errors.h"

namespace qd::scpi {

std::uint8_t eventBit(int code) {
    if (code <= -100 && code > -200) {
        return kCommandErrorBit;
    }
    if (code <= -200 && code > -300) {
        return kExecutionErrorBit;
    }
    if (code <= -300 && code > -400) {
        return kDeviceErrorBit;
    }
    if (code <= -400 && code > -500) {
        return kQueryErrorBit;
    }
    return 0;
}

std::string quotable(std::string_view text) {
    constexpr std::size_t kLongest = 120;
    std::string out;
    for (const char c : text.substr(0, kLongest)) {
        const char shown = c >= 0x20 && c <= 0x7E ? c : ' ';
        out += shown;
        if (shown == '"') {
            out += '"';
        }
    }
    return out;
}

void queueError(ClientStatus& client, int code, std::string text) {
    if (code >= 0) {
        return;
    }
    client.eventStatus |= eventBit(code);
    if (client.errors.size() >= kErrorQueueSize) {
        client.errors.back() = {QueueOverflow, std::string(errorText(QueueOverflow))};
        client.eventStatus |= eventBit(QueueOverflow);
        return;
    }
    client.errors.push_back({code, std::move(text)});
}

void reportError(ClientStatus& client, int code, std::string_view detail) {
    std::string text(errorText(code));
    if (!detail.empty()) {
        text += ';' + quotable(detail);
    }
    queueError(client, code, std::move(text));
}

std::string takeError(ClientStatus& client) {
    if (client.errors.empty()) {
        return "0,\"No error\"";
    }
    const ClientStatus::QueuedError error = std::move(client.errors.front());
    client.errors.pop_front();
    return std::to_string(error.code) + ",\"" + error.text + "\"";
}

} // namespace qd::scpi
