#pragma once

#include <QVersionNumber>

namespace qd::ui {

// The running program's version: on Windows from its own version resource,
// as Explorer shows it; elsewhere the version the program was built as.
QVersionNumber programVersion();

} // namespace qd::ui
