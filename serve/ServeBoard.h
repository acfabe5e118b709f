#pragma once

#include "serve/Instrument.h"
#include "session/CommonOptions.h"
#include "session/Session.h"

#include <string>

namespace qd::serve {

using control::Board;
using control::ControlState;

// The board behind `qdctl serve`: one session for the server's lifetime,
// its firmware loaded at start unless it runs already. A board that lost
// its firmware (power-cycled) is loaded again on the request that finds it
// out, and the request sent again; -241 when that fails. A board that stops
// answering makes its request fail with -240; one that is gone, -241, and
// it is looked for again, and loaded if it needs it, before each use until
// it is back.
class ServeBoard final : public InstrumentBoard, private Board {
  public:
    // Connects and loads the firmware; a board that is not there at start
    // is a failure of the command, not an SCPI error.
    explicit ServeBoard(const session::ServerOptions& options);

    void ready() override;
    Board& board() override { return *this; }
    std::string identifier() override { return identifier_; }

    ControlState& state() { return session_.state; }
    bool downloaded() const { return downloaded_; }

  private:
    void WriteShiftRegister(std::int16_t frameLength, std::int32_t frame) override;
    std::int32_t ReadConverter() override;
    // Runs a board call; a failure becomes the SCPI error it is.
    template <typename F> auto guarded(F&& call) -> decltype(call());
    void attach(bool force);
    // Loads the firmware again; BoardError(-241) when it cannot.
    void reload();

    const session::ServerOptions& options_;
    session::Session session_;
    std::string firmware_;
    std::string identifier_;
    bool present_ = false;
    bool downloaded_ = false;
};

} // namespace qd::serve
