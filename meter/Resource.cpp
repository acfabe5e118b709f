#include "meter/Resource.h"

#include "scpi/Parser.h"

#include <charconv>
#include <vector>

namespace qd::meter {

namespace {

std::vector<std::string_view> fields(std::string_view text) {
    std::vector<std::string_view> out;
    while (true) {
        const auto at = text.find("::");
        out.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            return out;
        }
        text.remove_prefix(at + 2);
    }
}

} // namespace

std::optional<Resource> Resource::parse(std::string_view text, std::string& why,
                                        std::string_view instrument) {
    Resource r;
    r.text = text;
    why = "\"" + std::string(text) + "\" names no " + std::string(instrument) +
          ": take TCPIP::HOST[::PORT]::SOCKET (raw socket, port 5025 unless "
          "given), TCPIP::HOST::INSTR (VXI-11) or a USBTMC device file such as /dev/usbtmc0";
    if (text.starts_with("/")) {
        r.kind = UsbTmc;
        r.path = text;
        return r;
    }
    const auto f = fields(text);
    using scpi::equalsIgnoringCase;
    if (f.size() < 3 ||
        !(equalsIgnoringCase(f.front(), "TCPIP") || equalsIgnoringCase(f.front(), "TCPIP0")) ||
        f[1].empty()) {
        return std::nullopt;
    }
    r.host = f[1];
    if (equalsIgnoringCase(f.back(), "SOCKET") && f.size() <= 4) {
        r.kind = Socket;
        if (f.size() == 4) {
            const auto [end, ec] = std::from_chars(f[2].data(), f[2].data() + f[2].size(), r.port);
            if (ec != std::errc() || end != f[2].data() + f[2].size() || r.port == 0 ||
                r.port > 65535) {
                why = "\"" + std::string(text) + "\": the port must be a number from 1 to 65535";
                return std::nullopt;
            }
        }
        return r;
    }
    if (equalsIgnoringCase(f.back(), "INSTR") &&
        (f.size() == 3 || (f.size() == 4 && equalsIgnoringCase(f[2], "INST0")))) {
        r.kind = Vxi11;
        return r;
    }
    return std::nullopt;
}

} // namespace qd::meter
