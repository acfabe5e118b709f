#include "ui/Program.h"

#include "control/RuntimeError.h"
#include "ui/DeviceForm.h"
#include "ui/MainForm.h"
#include "ui/Style.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>

namespace qd::ui {

using control::RuntimeError;

namespace {

[[noreturn]] void endProcessAtOnce(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

} // namespace

Program::Program(std::unique_ptr<link::LinkBinding> binding, QByteArray directory)
    : end(endProcessAtOnce), programDirectory(std::move(directory)), binding_(std::move(binding)),
      comms_(*binding_, state) {}

Program::~Program() {
    delete mainForm;
    delete deviceForm;
}

void Program::Main() {
    if (!deviceForm) {
        deviceForm = new DeviceForm(*this);
    }
    deviceForm->show();
    state.applyStartupDefaults();
}

bool Program::StartBoard(QWidget* parent) {
    try {
        if (usb.StartBoard(binding(), programDirectory)) {
            return true;
        }
    } catch (const std::exception& failure) {
        report(parent, failure);
        return false;
    }
    showMessage(parent, QStringLiteral("Error Downloading Firmware - Check USB connections"));
    end(1);
    return false;
}

void Program::report(QWidget* parent, const std::exception& failure) {
    QString text = QString::fromLocal8Bit(failure.what());
    if (const auto* error = dynamic_cast<const RuntimeError*>(&failure)) {
        text = QStringLiteral("Run-time error '%1':\n\n%2").arg(error->number()).arg(text);
    }
    std::fprintf(stderr, "%s\n", qPrintable(text.simplified()));
    QMessageBox box(QMessageBox::Critical, kApplicationTitle, text, QMessageBox::Ok, parent);
    box.exec();
    end(2);
}

int runProgram(int argc, char** argv, const ProgramInfo& info) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(kApplicationTitle);
    QApplication::setApplicationVersion(QString::fromLatin1(info.version));
    QApplication::setWindowIcon(programIcon());
    Program program(info.makeBinding(), link::programDirectory());
    program.Main();
    return QApplication::exec();
}

} // namespace qd::ui
