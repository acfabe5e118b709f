// Arbitrary bytes as one connection's input, arriving in reads of varying
// size, through the framing and the instrument over a board that fails now
// and then. Nothing may crash; the framer holds no more than one message and
// one read; every response is one line of printable ASCII (the server adds
// its LF); the error queue stays at its 16 entries; the settings stay within
// what the converter can take.

#include "board/BoardFacts.h"
#include "scpi/Errors.h"
#include "scpi/Framing.h"
#include "serve/Instrument.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// Fails the calls whose bit is set in the pattern, cycling through its eight
// bits; reads back what an ideal board would.
class FlakyBoard final : public qd::serve::InstrumentBoard, public qd::control::Board {
  public:
    explicit FlakyBoard(std::uint8_t pattern) : pattern_(pattern) {}

    void ready() override { fail(-241); }
    qd::control::Board& board() override { return *this; }
    std::string identifier() override { return "FUZZ"; }
    void WriteShiftRegister(std::int16_t frameLength, std::int32_t frame) override {
        fail(-240);
        dataBits_ = qd::board::frameDataBits(frameLength);
        frame_ = frame;
    }
    std::int32_t ReadConverter() override {
        fail(-240);
        const double fraction = (frame_ & ((1 << dataBits_) - 1)) / double(1 << dataBits_);
        return qd::board::idealReading(fraction, qd::board::kDefaultReferenceVolts) | 0xF000;
    }

  private:
    void fail(int code) {
        if (pattern_ >> (calls_++ % 8) & 1) {
            throw qd::serve::BoardError(code, "injected \"fault\"\n");
        }
    }
    std::uint8_t pattern_;
    unsigned calls_ = 0;
    int dataBits_ = 16;
    std::int32_t frame_ = 0;
};

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void checkLine(const std::string& response) {
    for (const char c : response) {
        check(c >= 0x20 && c <= 0x7E);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    qd::control::ControlState state;
    state.applyStartupDefaults();
    FlakyBoard board(data[0]);
    qd::serve::Instrument instrument(state, board, "0.0.0");
    unsigned seed = data[1];
    const std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);

    qd::scpi::MessageFramer framer;
    using Event = qd::scpi::MessageFramer::Event;
    constexpr std::size_t kMax = qd::scpi::MessageFramer::kMaxMessageBytes;
    for (std::size_t pos = 0; pos < input.size();) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t read = std::min<std::size_t>(1 + (seed >> 16) % 1500, input.size() - pos);
        framer.append(input.substr(pos, read));
        pos += read;
        check(framer.buffered() <= kMax + 1 + read);
        while (const auto event = framer.next()) {
            if (event->kind == Event::Overrun) {
                instrument.reportError(qd::scpi::InputBufferOverrun);
                continue;
            }
            check(event->message.size() <= kMax);
            checkLine(instrument.execute(event->message));
        }
    }

    for (std::size_t i = 0; i < qd::serve::Instrument::kErrorQueueSize; ++i) {
        checkLine(instrument.execute("SYST:ERR?"));
    }
    check(instrument.execute("SYST:ERR?") == "0,\"No error\"");

    const std::string code = instrument.execute("SOUR:DAC:CODE?");
    long value = -1;
    std::from_chars(code.data(), code.data() + code.size(), value);
    check(value >= 0 && value < (1L << (state.Resolution ? state.Resolution : 1)));
    check(state.PowerMode >= 0 && state.PowerMode <= 3);
    return 0;
}
