// VXI-11 through liblxi, where the system has it.

#include "meter/FramedTransport.h"

#include <lxi.h>
#include <mutex>

namespace qd::meter {

namespace {

class Vxi11Transport final : public FramedTransport {
  public:
    Vxi11Transport(int device, std::string resource, int timeoutMs)
        : FramedTransport(std::move(resource)), device_(device), timeoutMs_(timeoutMs) {}
    ~Vxi11Transport() override { lxi_disconnect(device_); }
    Vxi11Transport(const Vxi11Transport&) = delete;
    Vxi11Transport& operator=(const Vxi11Transport&) = delete;

    void send(std::string_view message) override {
        std::string bytes(message);
        bytes += '\n';
        if (lxi_send(device_, bytes.data(), static_cast<int>(bytes.size()), timeoutMs_) < 0) {
            fail("cannot send \"" + std::string(message) + "\" over VXI-11");
        }
    }

  protected:
    void readSome(std::chrono::milliseconds timeout, std::string& into) override {
        char chunk[65536];
        const int n = lxi_receive(device_, chunk, sizeof chunk, static_cast<int>(timeout.count()));
        if (n < 0) {
            fail("no answer over VXI-11 within " + std::to_string(timeout.count()) + " ms");
        }
        into.append(chunk, static_cast<std::size_t>(n));
        // VXI-11 ends a response with END; an instrument that sends no line
        // end with it still ends its message here.
        if (n > 0 && chunk[n - 1] != '\n') {
            into += '\n';
        }
    }

  private:
    int device_;
    int timeoutMs_;
};

} // namespace

std::unique_ptr<Transport> connectVxi11(const Resource& r, std::chrono::milliseconds timeout) {
    static std::once_flag initialized;
    std::call_once(initialized, [] { lxi_init(); });
    const int ms = static_cast<int>(timeout.count());
    const int device = lxi_connect(r.host.c_str(), 0, "inst0", ms, VXI11);
    if (device < 0) {
        throw MeterError("meter " + r.text + ": cannot connect over VXI-11 to " + r.host);
    }
    return std::make_unique<Vxi11Transport>(device, r.text, ms);
}

} // namespace qd::meter
