// QD1600Bench: the bench window on the engine qdctl runs.

#include "bench/BenchWindow.h"
#include "session/CommonOptions.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("QD1600 Bench");
    // Where the last setup is remembered.
    QApplication::setOrganizationName("QD1600");
    // The store and the board as qdctl finds them without options:
    // $QD_RESULTS, $QD_BOARD and the link library's own choice.
    const qd::session::CommonOptions common;
    qd::bench::BenchWindow window(common);
    window.show();
    return QApplication::exec();
}
