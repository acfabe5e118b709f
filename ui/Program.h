#pragma once

#include "control/ControlState.h"
#include "link/Binding.h"
#include "link/CommsFunctions.h"
#include "link/UsbStuff.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

class QWidget;

namespace qd::ui {

using control::ControlState;

class DeviceForm;
class MainForm;

// Everything one run of a program holds: the control state, the link and
// its buffers, and the windows. It lives from start to exit.
class Program {
  public:
    // The program's folder in its byte form (link::programDirectory()).
    Program(std::unique_ptr<link::LinkBinding> binding, QByteArray programDirectory);
    // A folder named in text.
    Program(std::unique_ptr<link::LinkBinding> binding, const QString& directory)
        : Program(std::move(binding), link::pathBytes(directory)) {}
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // The start-up procedure: shows the Device Selection window, then sets
    // the control state's defaults.
    void Main();

    // Downloads the firmware beside the program. On failure the user is told
    // and the program ends; false is returned only where ending returns
    // (tests).
    bool StartBoard(QWidget* parent);

    // Shows a run-time failure's number and text, then ends the program with
    // a non-zero status. Every window handler that can fail ends here.
    void report(QWidget* parent, const std::exception& failure);

    // Ends the process at once: no further window events, nothing unloaded.
    // Tests replace it to observe the status instead.
    std::function<void(int status)> end;

    ControlState state;
    link::LinkBinding& binding() { return *binding_; }
    link::CommsFunctions& comms() { return comms_; }
    link::UsbStuff usb;
    const QByteArray programDirectory;

    QPointer<DeviceForm> deviceForm;
    QPointer<MainForm> mainForm;

  private:
    std::unique_ptr<link::LinkBinding> binding_;
    link::CommsFunctions comms_;
};

// The entry of both programs: they differ only in their version and in
// which link library binding they make.
struct ProgramInfo {
    const char* version;
    std::function<std::unique_ptr<link::LinkBinding>()> makeBinding;
};
int runProgram(int argc, char** argv, const ProgramInfo& info);

} // namespace qd::ui
