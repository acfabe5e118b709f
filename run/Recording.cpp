#include "run/Recording.h"

#include "platform/Process.h"
#include "results/Recorder.h"
#include "run/Modules.h"
#include "run/PostgresModule.h"
#include "session/ExitStatus.h"
#include "session/OutputRules.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace qd::run {

using session::Failure;

namespace {

// Now, UTC, ISO 8601 to the millisecond: sortable as text on every engine.
std::string utcNow() {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

} // namespace

Recording::Recording(const session::CommonOptions& common, std::string kind, Records records)
    : common_(common), kind_(records == Records::Nothing ? std::string() : std::move(kind)),
      records_(records) {
    // A store that cannot be one is refused before the command starts.
    if (kind_.empty()) {
        return;
    }
    url_ = urlOf(common_);
    serverLimits();
    if (const std::string problem = results::sqliteProblem(results::sqlitePathOf(url_));
        !problem.empty()) {
        throw Failure(session::WriteFailed, "results store: " + problem);
    }
}

Recording::~Recording() = default;

results::Figure figureOf(std::string name, double value, std::string unit) {
    results::Figure f;
    f.name = std::move(name);
    f.value = value;
    f.unit = std::move(unit);
    return f;
}

results::ServerLimits serverLimits(std::function<bool()> stopped) {
    results::ServerLimits limits;
    limits.stopped = std::move(stopped);
    for (const auto& [name, seconds] :
         {std::pair{"QD_RESULTS_CONNECT_TIMEOUT", &limits.connect},
          std::pair{"QD_RESULTS_STATEMENT_TIMEOUT", &limits.statement}}) {
        const std::string text = platform::environment(name);
        if (text.empty()) {
            continue;
        }
        const bool whole = text.size() <= 7 && std::all_of(text.begin(), text.end(), [](char c) {
                               return c >= '0' && c <= '9';
                           });
        if (!whole) {
            throw Failure(session::BadArguments,
                          std::string(name) + "=" + text + ": give whole seconds, 0 for no bound");
        }
        *seconds = std::chrono::seconds(std::stol(text));
    }
    return limits;
}

std::unique_ptr<results::Store> openStore(const std::string& url, results::StoreAccess access,
                                          const results::ServerLimits& limits) {
    return results::openStore(
        url,
        [&limits](const std::string& uri) {
            std::unique_ptr<results::Database> database;
            loadModule<OpenPostgres>(kPostgresModule, kOpenPostgresSymbol)(uri, limits, database);
            return database;
        },
        access);
}

std::string Recording::urlOf(const session::CommonOptions& common) {
    for (const auto& [from, url] :
         {std::pair{"--results ", common.results},
          std::pair{"QD_RESULTS=", platform::environment("QD_RESULTS")}}) {
        if (url.empty()) {
            continue;
        }
        if (const std::string problem = results::storeUrlProblem(url); !problem.empty()) {
            throw Failure(session::BadArguments,
                          from + results::withoutPassword(url) + ": " + problem);
        }
        return url;
    }
    const std::string folder = platform::dataFolder();
    return folder.empty() ? std::string("none") : folder + "/results.sqlite";
}

std::unique_ptr<results::Store> Recording::storeToRead(const session::CommonOptions& common) {
    try {
        auto store = openStore(urlOf(common), results::StoreAccess::Read);
        if (!store) {
            throw Failure(session::BadArguments, "--results none: no store to read runs from");
        }
        return store;
    } catch (const results::NoStore& e) {
        throw Failure(session::BadArguments, std::string("results store: ") + e.what());
    } catch (const results::StoreError& e) {
        throw Failure(session::WriteFailed, std::string("results store: ") + e.what());
    }
}

void Recording::begin(std::map<std::string, std::string> fields) {
    if (kind_.empty() || !id_.empty() || !failure_.empty()) {
        return;
    }
    const std::shared_ptr<void> held = stop_.hold ? stop_.hold() : nullptr;
    try {
        store_ = openStore(url_, results::StoreAccess::Record, serverLimits(stop_.stopped));
        if (!store_) {
            return; // none
        }
        results::Run run;
        run.fields = std::move(fields);
        run.fields["id"] = results::newRunId();
        run.fields["kind"] = kind_;
        run.fields["started"] = utcNow();
        run.fields["qdctl_version"] = QDCTL_VERSION;
        run.fields["host"] = platform::hostName();
        run.fields["user_name"] = platform::userName();
        run.fields["pid"] = std::to_string(platform::processId());
        run.fields["command_line"] = common_.commandLine;
        std::erase_if(run.fields, [](const auto& field) { return field.second.empty(); });
        store_->begin(run);
        id_ = run.id();
        recorder_ = std::make_unique<results::Recorder>(*store_, id_,
                                                        records_ == Records::Many
                                                            ? results::Recorder::Writer::Thread
                                                            : results::Recorder::Writer::Caller);
    } catch (const std::exception& e) {
        failure_ = e.what();
        store_.reset();
    }
}

void Recording::set(const std::string& column, const std::string& value) {
    if (!value.empty()) {
        later_[column] = value;
    }
}

void Recording::add(std::int32_t code, std::int32_t frame, const std::vector<double>& values) {
    if (recorder_) {
        recorder_->add(code, frame, values);
    }
}

measure::Sink Recording::sink() {
    return [this](const measure::Row& row) { add(row.code, row.frame, row.values); };
}

void Recording::conclude(const std::string& verdict, std::vector<results::Figure> figures) {
    verdict_ = verdict;
    figures_ = std::move(figures);
}

int Recording::around(const std::function<int()>& command) {
    int status = 0;
    try {
        status = command();
    } catch (const Failure& f) {
        end(f.status(), false);
        throw;
    } catch (...) {
        end(session::LibraryFailed, false);
        throw;
    }
    return end(status, true);
}

int Recording::end(int status, bool say) {
    // The board is let go by now: only the store is waited for.
    const std::shared_ptr<void> held = stop_.hold && store_ ? stop_.hold() : nullptr;
    if (recorder_) {
        if (const std::string why = recorder_->finish(); !why.empty() && failure_.empty()) {
            failure_ = why;
        }
        recorder_.reset();
    }
    if (store_ && failure_.empty()) {
        std::map<std::string, std::string> fields = later_;
        fields["ended"] = utcNow();
        fields["exit_status"] = std::to_string(status);
        const std::string verdict = status >= 128 ? "INTERRUPTED" : verdict_;
        if (!verdict.empty()) {
            fields["verdict"] = verdict;
        }
        try {
            store_->end(id_, fields, figures_);
        } catch (const std::exception& e) {
            failure_ = e.what();
        }
    }
    if (!failure_.empty()) {
        // The measurement and its files are kept; the record is what is lost.
        session::writeMessage("the run is not recorded: " + failure_ +
                              " (--results none records nothing)");
        return status == session::Ok || status == session::CheckFailed ? session::WriteFailed
                                                                       : status;
    }
    // A failure is said in one line of its own; the run is on record all
    // the same.
    if (!id_.empty() && say) {
        session::writeStandardError("run " + id_ + ": recorded\n");
    }
    return status;
}

} // namespace qd::run
