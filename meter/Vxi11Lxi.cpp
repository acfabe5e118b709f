// VXI-11 through liblxi, where the system has it: loaded only when a meter
// is reached over VXI-11, since the library brings Avahi, D-Bus and libxml2
// with it, which no other use of qdctl should pay for.

#include "meter/FramedTransport.h"

#include <QLibrary>
#include <lxi.h>

namespace qd::meter {

namespace {

struct Lxi {
    decltype(&lxi_init) init = nullptr;
    decltype(&lxi_connect) connect = nullptr;
    decltype(&lxi_send) send = nullptr;
    decltype(&lxi_receive) receive = nullptr;
    decltype(&lxi_disconnect) disconnect = nullptr;
};

// liblxi once loaded and started; nullptr, with the reason, when it is not
// there.
const Lxi* loadLxi(std::string& why) {
    static Lxi lxi;
    static std::string failure = [] {
        // Debian's liblxi uses the RPC library without naming it: it must
        // be there, its symbols global, before liblxi is.
        static QLibrary rpc(QStringLiteral("tirpc"), 3);
        rpc.setLoadHints(QLibrary::ExportExternalSymbolsHint);
        rpc.load();
        static QLibrary library(QStringLiteral("lxi"), 1);
        const auto get = [](const char* name) { return library.resolve(name); };
        lxi.init = reinterpret_cast<decltype(lxi.init)>(get("lxi_init"));
        lxi.connect = reinterpret_cast<decltype(lxi.connect)>(get("lxi_connect"));
        lxi.send = reinterpret_cast<decltype(lxi.send)>(get("lxi_send"));
        lxi.receive = reinterpret_cast<decltype(lxi.receive)>(get("lxi_receive"));
        lxi.disconnect = reinterpret_cast<decltype(lxi.disconnect)>(get("lxi_disconnect"));
        if (!lxi.init || !lxi.connect || !lxi.send || !lxi.receive || !lxi.disconnect) {
            return library.errorString().toStdString();
        }
        lxi.init();
        return std::string();
    }();
    why = failure;
    return failure.empty() ? &lxi : nullptr;
}

class Vxi11Transport final : public FramedTransport {
  public:
    Vxi11Transport(const Lxi& lxi, int device, std::string resource, int timeoutMs)
        : FramedTransport(std::move(resource)), lxi_(lxi), device_(device), timeoutMs_(timeoutMs) {}
    ~Vxi11Transport() override { lxi_.disconnect(device_); }
    Vxi11Transport(const Vxi11Transport&) = delete;
    Vxi11Transport& operator=(const Vxi11Transport&) = delete;

  protected:
    // A VXI-11 write takes the whole message or fails.
    long sendSome(std::string_view bytes, std::string& why) override {
        if (lxi_.send(device_, bytes.data(), static_cast<int>(bytes.size()), timeoutMs_) < 0) {
            why = "the VXI-11 write failed";
            return -1;
        }
        return static_cast<long>(bytes.size());
    }

    void readSome(std::chrono::milliseconds timeout, std::string& into) override {
        char chunk[65536];
        const int n = lxi_.receive(device_, chunk, sizeof chunk, static_cast<int>(timeout.count()));
        if (n < 0) {
            failTimeout("no answer over VXI-11 within " + std::to_string(timeout.count()) + " ms");
        }
        into.append(chunk, static_cast<std::size_t>(n));
        // VXI-11 ends a response with END; an instrument that sends no line
        // end with it still ends its message here. A full chunk is a part
        // of a longer answer, such as a scope's record.
        if (n > 0 && n < static_cast<int>(sizeof chunk) && chunk[n - 1] != '\n') {
            into += '\n';
        }
    }

  private:
    const Lxi& lxi_;
    int device_;
    int timeoutMs_;
};

} // namespace

std::unique_ptr<Transport> connectVxi11(const Resource& r, std::chrono::milliseconds timeout) {
    std::string why;
    const Lxi* lxi = loadLxi(why);
    if (!lxi) {
        throw MeterError("meter " + r.text + ": VXI-11 needs liblxi, which cannot be loaded (" +
                         why +
                         "); install liblxi1, or reach the meter through its raw socket, "
                         "TCPIP::" +
                         r.host + "::5025::SOCKET");
    }
    const int ms = static_cast<int>(timeout.count());
    const int device = lxi->connect(r.host.c_str(), 0, "inst0", ms, VXI11);
    if (device < 0) {
        throw MeterError("meter " + r.text + ": cannot connect over VXI-11 to " + r.host);
    }
    return std::make_unique<Vxi11Transport>(*lxi, device, r.text, ms);
}

} // namespace qd::meter
