#pragma once

// What a station and its slots say to each other, written and read here
// alone. Each slot is a `qdctl characterize` of its own, started with
// `--station-slot STATION:N` and `--json`:
//
// - On its standard error, after each code it measures, one line
//   `{"slot_progress":{"done":DONE,"total":TOTAL}}`. Every other line there
//   is a message for the user, which the station hands on naming the slot.
// - On its standard output, as its last line, its result: one JSON object,
//   as `qdctl characterize --json` gives it (the figures, the verdict, the
//   run), or the failure's {"error": ..., "status": ...}.
//
// One JSON object a line, so that a line cut short or a message that
// happens to look like progress is never taken for it.

#include <QJsonObject>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qd::run {

struct SlotProgress {
    std::size_t done = 0, total = 0;
};

// The progress line a slot writes, with its line end.
std::string slotProgressLine(SlotProgress progress);

// The progress a line of a slot's standard error gives; none for a line
// that is a message.
std::optional<SlotProgress> slotProgressOf(std::string_view line);

// A slot's result from its whole standard output: its last JSON object; an
// empty object when it gave none.
QJsonObject slotResultOf(std::string_view output);

} // namespace qd::run
