// The meter's carriers on POSIX systems: a TCP socket, and a USBTMC device
// file of the Linux kernel's driver.

#include "meter/FramedTransport.h"
#include "platform/Error.h"
#include "platform/Socket.h"

#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace qd::meter {

namespace {

// A descriptor to a meter, written whole and read as bytes come.
class DescriptorTransport final : public FramedTransport {
  public:
    DescriptorTransport(int fd, std::string resource, bool socket)
        : FramedTransport(std::move(resource)), fd_(fd), socket_(socket) {}
    ~DescriptorTransport() override { ::close(fd_); }

  protected:
    long sendSome(std::string_view bytes, std::string& why) override {
        const ssize_t n = socket_ ? ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)
                                  : ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            return 0;
        }
        if (n <= 0) {
            why = platform::lastSocketErrorText();
            return -1;
        }
        return static_cast<long>(n);
    }

    void readSome(std::chrono::milliseconds timeout, std::string& into) override {
        // A USBTMC read asks the meter for its answer and waits for it
        // with the driver's own timeout; a socket is waited on here.
        if (socket_) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
            if (ready < 0 && errno != EINTR) {
                fail("cannot wait for an answer: " + platform::lastSocketErrorText());
            }
            if (ready <= 0) {
                return;
            }
        }
        char chunk[4096];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == ETIMEDOUT)) {
            return;
        }
        took(static_cast<long>(n), chunk, into,
             n < 0 ? platform::lastSocketErrorText() : std::string());
    }

    // A socket holds what the meter sent whether asked or not; a USBTMC
    // read asks the meter for an answer, so nothing waits there.
    void readPending(std::string& into) override {
        if (socket_) {
            readSome(std::chrono::milliseconds(0), into);
        }
    }

  private:
    int fd_;
    bool socket_;
};

// Connects within the timeout to one address; the descriptor, or -1 with
// errno set.
int connectWithin(const addrinfo& a, std::chrono::milliseconds timeout) {
    const int fd =
        ::socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a.ai_protocol);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, a.ai_addr, a.ai_addrlen) != 0 && errno != EINPROGRESS) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1 ||
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        error = error != 0 ? error : ETIMEDOUT;
        ::close(fd);
        errno = error;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    platform::sendAtOnce(fd);
    return fd;
}

} // namespace

std::unique_ptr<Transport> connectSocket(const Resource& r, std::chrono::milliseconds timeout) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(r.port);
    if (const int error = ::getaddrinfo(r.host.c_str(), port.c_str(), &hints, &found)) {
        throw MeterError("meter " + r.text + ": cannot find host " + r.host + ": " +
                         ::gai_strerror(error));
    }
    int fd = -1;
    const auto startingUp = std::chrono::steady_clock::now() + kStartingUp;
    while (true) {
        for (const addrinfo* a = found; a && fd < 0; a = a->ai_next) {
            fd = connectWithin(*a, timeout);
        }
        // Refused: nothing listens yet, as while a meter starts up.
        if (fd >= 0 || errno != ECONNREFUSED || std::chrono::steady_clock::now() >= startingUp) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string why = platform::lastSocketErrorText();
    ::freeaddrinfo(found);
    if (fd < 0) {
        throw MeterError("meter " + r.text + ": cannot connect to " + r.host + " port " + port +
                         ": " + why);
    }
    return std::make_unique<DescriptorTransport>(fd, r.text, true);
}

std::unique_ptr<Transport> openUsbTmc(const Resource& r) {
    const int fd = ::open(r.path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        throw MeterError(
            "meter " + r.text + ": cannot open it: " + platform::lastErrorText() +
            (errno == EACCES ? " (a udev rule must let this user use the meter)" : ""));
    }
    return std::make_unique<DescriptorTransport>(fd, r.text, false);
}

} // namespace qd::meter
