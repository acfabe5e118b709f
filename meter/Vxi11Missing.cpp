// A build without liblxi (Windows) has no VXI-11.

#include "meter/Transport.h"

namespace qd::meter {

std::unique_ptr<Transport> connectVxi11(const Resource& r, std::chrono::milliseconds) {
    throw MeterError("meter " + r.text +
                     ": this build of qdctl has no VXI-11 (it needs liblxi); reach the meter "
                     "through its raw socket, TCPIP::" +
                     r.host + "::5025::SOCKET");
}

} // namespace qd::meter
