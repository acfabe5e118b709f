#pragma once

// Where a bench meter is reached, as VISA names it. Standard C++ only.

#include <optional>
#include <string>
#include <string_view>

namespace qd::meter {

struct Resource {
    enum Kind {
        Socket, // TCPIP::HOST[::PORT]::SOCKET, raw SCPI over TCP
        Vxi11,  // TCPIP::HOST::INSTR (TCPIP0:: and ::inst0 too)
        UsbTmc, // a USBTMC device file such as /dev/usbtmc0
    };
    Kind kind = Socket;
    std::string host;
    unsigned port = 5025;
    std::string path; // UsbTmc
    std::string text; // as given

    // nullopt, with what is wrong and what is taken in `why`, for text that
    // names none of the three; `instrument` is what `why` says it names not.
    static std::optional<Resource> parse(std::string_view text, std::string& why,
                                         std::string_view instrument = "meter");
};

} // namespace qd::meter
