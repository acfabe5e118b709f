#include "serve/ServeBoard.h"

#include "control/RuntimeError.h"
#include "session/ExitStatus.h"
#include "session/OutputRules.h"

namespace qd::serve {

using control::RuntimeError;

using session::boardIdentifier;
using session::Busy;
using session::Failure;
using session::firmwarePathOf;
using session::makeBinding;
using session::NoBoard;
using session::RequestFailed;
using session::ServerOptions;
using session::writeMessage;

ServeBoard::ServeBoard(const ServerOptions& options)
    : options_(options), session_(makeBinding(options.common.link)),
      firmware_(firmwarePathOf(options.common)) {
    attach(options.common.download);
    identifier_ = boardIdentifier(session_.binding(), session_.board());
}

void ServeBoard::attach(bool force) {
    session_.connect(boardOf(session_.binding(), options_.common));
    downloaded_ = session_.ensureFirmware(firmware_, force) || downloaded_;
    // Held from the start, also while no client sends anything: a second
    // server on the board is told it is busy at once, not at its first
    // request.
    session_.claim();
    present_ = true;
}

void ServeBoard::ready() {
    if (present_) {
        return;
    }
    try {
        attach(false);
        writeMessage("board " + identifier_ + " is back");
    } catch (const Failure& f) {
        throw BoardError(-241, f.what());
    }
}

void ServeBoard::reload() {
    try {
        session_.ensureFirmware(firmware_, true);
    } catch (const Failure& f) {
        present_ = false;
        throw BoardError(-241, f.what());
    }
    downloaded_ = true;
    writeMessage("board " + identifier_ + " had lost its firmware: loaded it again");
}

template <typename F> auto ServeBoard::guarded(F&& call) -> decltype(call()) {
    try {
        try {
            return call();
        } catch (const Failure& f) {
            // A board whose power was cut, or that was unplugged and back
            // between two requests, runs no firmware: it is loaded again,
            // once, as at the start, and the request is sent again.
            if (f.status() != RequestFailed || session_.firmwareRuns()) {
                throw;
            }
        }
        reload();
        return call();
    } catch (const Failure& f) {
        // A board that is gone, or taken, is missing until it is back; any
        // other failure is the request's.
        if (f.status() == NoBoard || f.status() == Busy) {
            present_ = false;
            throw BoardError(-241, f.what());
        }
        throw BoardError(-240, f.what());
    } catch (const RuntimeError& e) {
        throw BoardError(-240, e.what());
    }
}

void ServeBoard::WriteShiftRegister(std::int16_t frameLength, std::int32_t frame) {
    guarded([&] { session_.comms().WriteShiftRegister(frameLength, frame); });
}

std::int32_t ServeBoard::ReadConverter() {
    return guarded([&] { return session_.comms().ReadConverter(); });
}

} // namespace qd::serve
