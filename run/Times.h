#pragma once

// Times as the program keeps and takes them: stored in UTC, ISO 8601 to the
// millisecond with its "Z", so that they sort as text on every engine; a
// user's "since" read in the user's own zone unless it names one.

#include <QDateTime>
#include <optional>
#include <string>
#include <string_view>

namespace qd::run {

// The stored form of the instant `text` means, relative to `now` for the
// relative forms, or nothing for a text that is no time. Takes ISO 8601
// dates and times ("2026-12-01", "2026-12-01T09:30", "2026-12-01 09:30:15",
// each in the local zone unless it ends in "Z" or "+01:00"), "today",
// "yesterday", and "N" followed by "h", "d" or "w" for that many hours,
// days or weeks ago.
std::optional<std::string> utcSince(std::string_view text, const QDateTime& now);

// What an option taking such a time says of a text that is none.
inline constexpr const char* kSinceForms =
    "an ISO 8601 date or time (2026-12-01, 2026-12-01T09:30, with Z or +01:00 for a zone "
    "other than this computer's), today, yesterday, or 7d, 12h, 2w ago";

// `at` as the store keeps a time.
std::string storedTime(const QDateTime& at);

// Now, in the local zone with its offset written out, ISO 8601 to the
// second: "2026-12-10T09:03:29+01:00", as a run's files are dated.
std::string localNow();

} // namespace qd::run
