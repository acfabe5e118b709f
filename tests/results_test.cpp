// The results store's rules that no client shows by itself: a run found by
// a prefix of its id and never by a guess, and a store newer than this
// program refused rather than written in a schema it does not know; an
// older one migrated forward with its runs.

#include "TempDir.h"
#include "results/Store.h"

#include <gtest/gtest.h>

namespace {

using qd::results::openSqlite;
using qd::results::Run;
using qd::results::Store;
using qd::results::StoreAccess;
using qd::results::StoreError;

constexpr auto kRecord = StoreAccess::Record;

Run runOf(const std::string& id) {
    Run run;
    run.fields = {{"id", id}, {"kind", "sweep"}, {"started", "2026-12-09T06:00:00.000Z"}};
    return run;
}

TEST(ResultsStore, FindsARunByAnUnambiguousPrefixOnly) {
    TempDir dir;
    Store store(openSqlite(dir.file("results.sqlite"), kRecord), kRecord);
    store.begin(runOf("0b6e1111-0000-4000-8000-000000000000"));
    store.begin(runOf("0b6e2222-0000-4000-8000-000000000000"));
    const struct {
        const char* asked;
        const char* found; // "" when refused
    } cases[] = {
        {"0b6e1", "0b6e1111-0000-4000-8000-000000000000"},
        {"0B6E2", "0b6e2222-0000-4000-8000-000000000000"},
        {"0b6e", ""},  // both
        {"ffff", ""},  // neither
        {"0b6e%", ""}, // no pattern of the engine's
        {"", ""},
    };
    for (const auto& c : cases) {
        if (*c.found) {
            EXPECT_EQ(store.find(c.asked).id(), c.found) << c.asked;
        } else {
            EXPECT_THROW(store.find(c.asked), StoreError) << c.asked;
        }
    }
}

TEST(ResultsStore, RefusesAStoreNewerThanItsSchema) {
    TempDir dir;
    const std::string path = dir.file("results.sqlite");
    { Store made(openSqlite(path, kRecord), kRecord); }
    openSqlite(path, kRecord)->execute("UPDATE qd_schema SET version = 99");
    for (const StoreAccess access : {kRecord, StoreAccess::Read}) {
        EXPECT_THROW(Store(openSqlite(path, access), access), StoreError);
    }
}

// A store made by the first release: its runs table lacks the station's
// columns and the setup document. Opening it to record adds them, a step a
// version, and keeps what it holds.
TEST(ResultsStore, MigratesAVersion1StoreForwardKeepingItsRuns) {
    TempDir dir;
    const std::string path = dir.file("results.sqlite");
    {
        Store made(openSqlite(path, kRecord), kRecord);
        made.begin(runOf("0b6e1111-0000-4000-8000-000000000000"));
    }
    {
        auto old = openSqlite(path, kRecord);
        old->execute("ALTER TABLE runs DROP COLUMN waveform");
        old->execute("ALTER TABLE runs DROP COLUMN setup");
        old->execute("DROP INDEX runs_station");
        old->execute("ALTER TABLE runs DROP COLUMN slot");
        old->execute("ALTER TABLE runs DROP COLUMN station");
        old->execute("UPDATE qd_schema SET version = 1");
    }
    {
        // Read as it is, not migrated: a reader writes nothing.
        Store read(openSqlite(path, StoreAccess::Read), StoreAccess::Read);
        EXPECT_EQ(read.runs({}).at(0).get("kind"), "sweep");
    }
    Store store(openSqlite(path, kRecord), kRecord);
    EXPECT_EQ(store.find("0b6e1").get("kind"), "sweep");
    auto slot = runOf("0b6e2222-0000-4000-8000-000000000000");
    slot.fields["station"] = "5a7e0000-0000-4000-8000-000000000000";
    slot.fields["slot"] = "3";
    slot.fields["setup"] = R"({"version":1,"samples":4})";
    store.begin(slot);
    qd::results::Filter filter;
    filter.station = "5a7e0000-0000-4000-8000-000000000000";
    const auto found = store.runs(filter);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].get("slot"), "3");
    EXPECT_EQ(found[0].get("setup"), R"({"version":1,"samples":4})");
}

} // namespace
