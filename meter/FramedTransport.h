#pragma once

#include "meter/Transport.h"
#include "scpi/Framing.h"

namespace qd::meter {

// A carrier of bytes made into response messages as instruments end them
// (LF, a CR before it dropped), with the resource named in every failure.
class FramedTransport : public Transport {
  public:
    explicit FramedTransport(std::string resource) : resource_(std::move(resource)) {}
    // Each owns its connection, which closes when it goes.
    FramedTransport(const FramedTransport&) = delete;
    FramedTransport& operator=(const FramedTransport&) = delete;
    void send(std::string_view message) final;
    std::string receive(std::chrono::milliseconds timeout) override;
    std::string receiveBlock(std::chrono::milliseconds timeout) final;
    std::size_t drain() final;

  protected:
    // Sends a first part of `bytes`: how many went, 0 when a signal came
    // before any did; -1, with the reason in `why`, when the carrier failed.
    virtual long sendSome(std::string_view bytes, std::string& why) = 0;
    // Appends the bytes that came within `timeout` to `into`; nothing when
    // none did. MeterError when the carrier failed.
    virtual void readSome(std::chrono::milliseconds timeout, std::string& into) = 0;
    // Appends the bytes that have come already, without waiting. Nothing
    // here: over VXI-11 and USBTMC the meter keeps an answer until a read
    // asks for it, and IEEE 488.2 has it throw an unread answer away when
    // the next query comes, so no answer can wait on these carriers; what
    // an earlier read brought beyond its message is still thrown away.
    virtual void readPending(std::string& into) { (void)into; }
    [[noreturn]] void fail(const std::string& what) const;
    [[noreturn]] void failTimeout(const std::string& what) const;
    // Takes what one read of `chunk` gave: `n` bytes, appended to `into`;
    // none, the meter closing the connection; a failure (n < 0), with `why`.
    void took(long n, const char* chunk, std::string& into, const std::string& why) const;

    std::string resource_;

  private:
    // Room for a thousand readings in one answer.
    static constexpr std::size_t kMaxAnswerBytes = 64 * 1024;
    scpi::MessageFramer framer_{kMaxAnswerBytes};
    bool inBlock_ = false;
};

} // namespace qd::meter
