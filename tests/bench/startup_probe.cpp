// Time to the first shown window, as a whole process: "program" runs the
// real start-up procedure and ends once Device Selection is on the screen;
// "bare" shows a plain Qt window with the same widgets and ends likewise.
// Time both with farm-bench under the same display:
//   farm-bench --vs 'startup_probe bare' -- startup_probe program

#include "link/Binding.h"
#include "ui/DeviceForm.h"
#include "ui/Program.h"

#include <QApplication>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QWindow>
#include <cstring>

namespace {

// Quits the application once the widget's window is exposed.
class QuitWhenShown : public QObject {
  public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Expose) {
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return false;
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 || (std::strcmp(argv[1], "program") != 0 && std::strcmp(argv[1], "bare") != 0)) {
        std::fprintf(stderr, "usage: %s program|bare\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    QuitWhenShown quit;
    if (std::strcmp(argv[1], "program") == 0) {
        qd::ui::Program program(std::make_unique<qd::link::UsbFunctionsBinding>(),
                                QCoreApplication::applicationDirPath());
        program.Main();
        program.deviceForm->windowHandle()->installEventFilter(&quit);
        return QApplication::exec();
    }
    QWidget window;
    window.resize(195, 163);
    auto* frame = new QGroupBox(QStringLiteral("Select Device"), &window);
    frame->setGeometry(40, 16, 113, 97);
    for (int i = 0; i < 5; ++i) {
        auto* option = new QRadioButton(QStringLiteral("QD1200"), frame);
        option->setGeometry(16, 24 + 16 * i, 73, 17);
    }
    auto* ok = new QPushButton(QStringLiteral("OK"), &window);
    ok->setGeometry(56, 120, 81, 33);
    window.show();
    window.windowHandle()->installEventFilter(&quit);
    return QApplication::exec();
}
