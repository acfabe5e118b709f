// The meter client against a scripted meter: what it takes from a reading
// (units, overloads, the range), what it lets through to a message, and how
// it keeps in step with a meter that answers late or twice.

#include "meter/Meter.h"

#include <algorithm>
#include <deque>
#include <gtest/gtest.h>
#include <optional>

namespace {

using namespace std::chrono_literals;
using qd::meter::Meter;
using qd::meter::MeterError;
using qd::meter::MeterTimeout;

// Answers each message with the lines the script gives for it, in order;
// READ? with the next of `reads` ({} : no answer at all).
class ScriptedMeter final : public qd::meter::Transport {
  public:
    std::string identity = "QD1600,Simulated DMM,0,1";
    // CAL:DATE?'s answer; nothing: a header it does not know.
    std::optional<std::string> calibration = "2026,3,14";
    std::vector<std::vector<std::string>> reads;
    std::vector<std::string>* sent = nullptr; // outlives it

    void send(std::string_view message) override {
        const std::string m(message);
        sent->push_back(m);
        std::vector<std::string> answer;
        if (m == "*IDN?") {
            answer = {identity};
        } else if (m == "SYST:ERR?") {
            answer = {"0,\"No error\""};
        } else if (m == "*OPC?") {
            answer = {"1"};
        } else if (m == "CAL:DATE?" && calibration) {
            answer = {*calibration};
        } else if (m == "READ?" || m == ":READ?") {
            if (next_ < reads.size()) {
                answer = reads[next_++];
            }
        }
        pending_.insert(pending_.end(), answer.begin(), answer.end());
    }
    std::string receive(std::chrono::milliseconds) override {
        if (pending_.empty()) {
            throw MeterTimeout("meter fake: no answer within 5 s");
        }
        std::string line = pending_.front();
        pending_.pop_front();
        return line;
    }
    std::size_t taken() const { return next_; }
    std::size_t drain() override {
        const std::size_t n = pending_.size();
        pending_.clear();
        return n;
    }

  private:
    std::deque<std::string> pending_;
    std::size_t next_ = 0;
};

struct Session {
    std::vector<double> volts;
    std::string error;
    std::vector<std::string> notices;
    std::vector<std::string> sent;
    std::string identity;
};

// A meter on its 10 V range, one sample a query, reading code 0800.
Session readFrom(const std::string& identity, std::vector<std::vector<std::string>> reads,
                 int samples = 1) {
    auto transport = std::make_unique<ScriptedMeter>();
    ScriptedMeter& script = *transport;
    script.identity = identity;
    script.reads = std::move(reads);
    Session run;
    script.sent = &run.sent;
    try {
        Meter meter(std::move(transport), "fake", 5000ms,
                    [&run](const std::string& notice) { run.notices.push_back(notice); });
        run.identity = meter.identity();
        meter.configure({4.93, 1, samples});
        meter.setContext("code 0800");
        while (script.taken() < script.reads.size()) {
            const auto v = meter.read();
            run.volts.insert(run.volts.end(), v.begin(), v.end());
        }
    } catch (const MeterError& e) {
        run.error = e.what();
    }
    return run;
}

const std::string kGeneric = "QD1600,Simulated DMM,0,1";

TEST(Meter, ReadingsInVoltsOrRefusedNamingWhy) {
    const struct {
        const char* answer;
        double volts;     // when taken
        const char* says; // when refused
    } cases[] = {
        {"+4.93000000E+00", 4.93, nullptr},
        {"+101.0 MV", 0.101, nullptr},
        {"+101.0 mv", 0.101, nullptr},
        {"1.5uV", 1.5e-6, nullptr},
        {"-2.5 V", -2.5, nullptr},
        {"+4.93 KV", 0, "its unit \"KV\" is not V, mV or uV at code 0800"},
        {"4.93 VAC", 0, "its unit \"VAC\" is not V, mV or uV"},
        {"+9.90000000E+37", 0, "reads overload (+9.90000000E+37) on its 10 V range at code 0800"},
        {"-12.5", 0, "reads -12.5 V, beyond its 10 V range at code 0800"},
        {"12500 mV", 0, "reads 12.5 V, beyond its 10 V range"},
        {"+1.0,+2.0", 0, "READ? answered \"+1.0,+2.0\", not 1 reading at code 0800"},
        {"OVLD", 0, "which is no reading at code 0800"},
    };
    for (const auto& c : cases) {
        const Session r = readFrom(kGeneric, {{c.answer}});
        if (c.says) {
            EXPECT_NE(r.error.find(c.says), std::string::npos) << c.answer << ": " << r.error;
        } else {
            ASSERT_EQ(r.volts.size(), 1u) << c.answer << ": " << r.error;
            EXPECT_DOUBLE_EQ(r.volts[0], c.volts) << c.answer;
        }
    }
}

TEST(Meter, ControlCharactersFromTheMeterAreEscaped) {
    const Session r = readFrom("Evil\x1b]0;owned\x07,Meter\xc2\x9b,1,2", {{"4.9\x1b[2J"}});
    EXPECT_EQ(r.identity, "Evil\\x1b]0;owned\\x07,Meter\\x9b,1,2");
    EXPECT_NE(r.error.find("(Evil\\x1b]0;owned\\x07,Meter\\x9b,1,2)"), std::string::npos)
        << r.error;
    EXPECT_NE(r.error.find("\"4.9\\x1b[2J\""), std::string::npos) << r.error;
    for (const char c : r.error) {
        EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << r.error;
    }
}

TEST(Meter, KeepsInStepWithAMeterThatAnswersLateOrTwice) {
    const struct {
        const char* what;
        std::vector<std::vector<std::string>> reads;
        int samples;
        std::vector<double> volts; // empty: refused
        const char* says;
        std::size_t notices;
    } cases[] = {
        // Which of two answers is the query's cannot be told: both go, and
        // the code is read again.
        {"an answer sent twice is thrown away and the code read again",
         {{"+1.0", "+1.0"}, {"+1.5"}, {"+2.0"}},
         1,
         {1.5, 2.0},
         nullptr,
         1},
        {"twice the same, said once",
         {{"+1.0", "+1.0"}, {"+1.0"}, {"+2.0", "+2.0"}, {"+2.0"}, {"+3.0"}},
         1,
         {1.0, 2.0, 3.0},
         nullptr,
         1},
        {"every answer twice",
         {{"+1.0", "+1.0"}, {"+1.0", "+1.0"}, {"+1.0", "+1.0"}, {"+1.0", "+1.0"}},
         1,
         {},
         "it keeps answering READ? more than once at code 0800",
         1},
        {"a timeout: *CLS, *OPC?, asked once more", {{}, {"+2.0"}}, 1, {2.0}, nullptr, 0},
        {"no answer twice",
         {{}, {}},
         1,
         {},
         "meter fake (QD1600,Simulated DMM,0,1): READ? timed out after 5.06 s, also when asked "
         "again",
         0},
        {"a short answer of several samples",
         {{"+1.0,+1.1,+1.2"}},
         4,
         {},
         "READ? answered \"+1.0,+1.1,+1.2\", not 4 readings at code 0800",
         0},
    };
    for (const auto& c : cases) {
        const Session r = readFrom(kGeneric, c.reads, c.samples);
        if (c.says) {
            EXPECT_NE(r.error.find(c.says), std::string::npos) << c.what << ": " << r.error;
        } else {
            EXPECT_EQ(r.volts, c.volts) << c.what << ": " << r.error;
        }
        EXPECT_EQ(r.notices.size(), c.notices) << c.what;
        if (!r.notices.empty()) {
            EXPECT_EQ(r.notices[0],
                      "meter fake: discarded a reply nobody asked for (a late answer?)");
        }
    }
    // The timeout's recovery, in the order the meter is told.
    const Session r = readFrom(kGeneric, {{}, {"+2.0"}});
    const std::vector<std::string> tail(r.sent.end() - 4, r.sent.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"READ?", "*CLS", "*OPC?", "READ?"}));
}

// The calibration date is only shown: a meter that does not tell it, or
// not as a date, is measured all the same.
TEST(Meter, CalibrationDateWhereTheFamilyHasOne) {
    const std::string keysight = "Keysight Technologies,34465A,MY1,A.03";
    const struct {
        std::string identity;
        std::optional<std::string> answer;
        std::optional<std::string> date;
    } cases[] = {
        {keysight, "2026,3,14", "2026-03-14"},
        {keysight, std::nullopt, std::nullopt},
        {keysight, "+1.0E+00", std::nullopt},
        {"KEITHLEY INSTRUMENTS,MODEL DMM6500,1,1.7", "2026,3,14", std::nullopt},
        {"QD1600,Simulated DMM,0,1", "2026,3,14", std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string what = c.identity + " answering " + c.answer.value_or("nothing");
        auto transport = std::make_unique<ScriptedMeter>();
        transport->identity = c.identity;
        transport->calibration = c.answer;
        transport->reads = {{"+2.5"}};
        std::vector<std::string> sent;
        transport->sent = &sent;
        try {
            Meter meter(std::move(transport), "fake");
            EXPECT_EQ(meter.calibrationDate(), c.date) << what;
            meter.configure({4.93, 1, 1});
            EXPECT_EQ(meter.read(), std::vector<double>{2.5}) << what;
        } catch (const MeterError& e) {
            ADD_FAILURE() << what << ": " << e.what();
        }
        const bool asked = c.identity == keysight;
        EXPECT_EQ(std::count(sent.begin(), sent.end(), "CAL:DATE?"), asked ? 1 : 0) << what;
    }
}

} // namespace
