#include "qdctl/System.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qd::cli::sys {

void prepareStandardStreams() {
    std::signal(SIGPIPE, SIG_IGN);
}

bool writeAll(int fd, std::string_view bytes, std::size_t& done, std::string& why) {
    done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        why = n < 0 ? std::strerror(errno) : "No space left on device";
        return false;
    }
    return true;
}

bool isTerminal(int fd) {
    return ::isatty(fd) == 1;
}

std::string moduleFile(const std::string& name) {
    return "lib" + name + ".so";
}

bool isSpecialFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

int openSpecialFile(const std::string& path, std::string& why) {
    // Not blocking on a FIFO without a reader while it opens; blocking in
    // its writes, as a pipe's writer should.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return fd;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

namespace {

mode_t currentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

} // namespace

int createBeside(const std::string& path, std::string& partial, std::string& why) {
    std::string pattern = path + ".partial-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        why = std::strerror(errno);
        return fd;
    }
    ::fchmod(fd, 0666 & ~currentUmask());
    partial = pattern;
    return fd;
}

void takeBack(int fd, std::size_t bytes) {
    const off_t start = ::lseek(fd, -static_cast<off_t>(bytes), SEEK_CUR);
    if (start >= 0) {
        [[maybe_unused]] const int ignored = ::ftruncate(fd, start);
    }
}

bool commit(int fd, const std::string& from, const std::string& to, std::string& why) {
    const bool stored = ::fsync(fd) == 0;
    if (!stored) {
        why = std::strerror(errno);
    }
    ::close(fd);
    return stored && replace(from, to, why);
}

bool replace(const std::string& from, const std::string& to, std::string& why) {
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}

void remove(const std::string& path) {
    ::unlink(path.c_str());
}

void close(int fd) {
    ::close(fd);
}

namespace {

std::atomic<StopSignals::Handler> stopHandler{nullptr};
struct sigaction oldInt {};
struct sigaction oldTerm {};

extern "C" void onSignal(int signal) {
    if (const auto handler = stopHandler.load()) {
        handler(signal);
    }
}

void handle(int signal, void (*handler)(int), struct sigaction* old) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, old);
}

} // namespace

StopSignals::StopSignals(Handler onStop) {
    stopHandler = onStop;
    handle(SIGINT, onSignal, &oldInt);
    handle(SIGTERM, onSignal, &oldTerm);
}

StopSignals::~StopSignals() {
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    stopHandler = nullptr;
}

namespace {

int stopPipe[2] = {-1, -1};

extern "C" void wakeEventLoop(int) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t ignored = ::write(stopPipe[1], &byte, 1);
}

} // namespace

void quitOnStopSignals(QCoreApplication& app) {
    // Only a write is safe in a signal handler: the event loop hears it.
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    handle(SIGINT, wakeEventLoop, nullptr);
    handle(SIGTERM, wakeEventLoop, nullptr);
}

} // namespace qd::cli::sys
