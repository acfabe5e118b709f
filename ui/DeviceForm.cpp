#include "ui/DeviceForm.h"

#include "ui/MainForm.h"
#include "ui/Program.h"
#include "ui/Style.h"
#include "ui_DeviceForm.h"

#include <QScreen>

namespace qd::ui {

using control::kDevices;

DeviceForm::DeviceForm(Program& program)
    : ui_(std::make_unique<Ui::DeviceForm>()), program_(program) {
    ui_->setupUi(this);
    setFont(captionFont(8.25));
    setWindowIcon(programIcon());

    QRadioButton* const devices[] = {ui_->Option1, ui_->Option2, ui_->Option3, ui_->Option4};
    static_assert(std::size(devices) == std::tuple_size_v<decltype(kDevices)>);
    for (std::size_t row = 0; row < std::size(devices); ++row) {
        // Toggled rather than clicked: arrow keys select a device too.
        connect(devices[row], &QRadioButton::toggled, this, [this, row](bool on) {
            if (on) {
                deviceClicked(row);
            }
        });
    }
    connect(ui_->Command1, &QPushButton::clicked, this, &DeviceForm::Command1_Click);

    // Clipping keeps the fifth option from the mouse only. The arrow keys of
    // an auto-exclusive group skip no button but a hidden or disabled one,
    // whatever its focus policy, and would carry the check from "QD1610" onto
    // it, leaving no device shown while one is chosen. Hidden, it is still a
    // member of the group, and neither the arrows nor Tab reach it.
    ui_->Option5->setFocusPolicy(Qt::NoFocus);
    ui_->Option5->hide();

    // Centred on the screen it opens on.
    move(screen()->availableGeometry().center() - rect().center());
    Form_Load();
}

void DeviceForm::Form_Load() {
    // The hidden fifth option, below the frame's edge, holds the group's
    // selection so that none of the four devices shows as chosen.
    ui_->Option5->setChecked(true);
    DeviceChosen = 0;
}

void DeviceForm::deviceClicked(std::size_t row) {
    program_.state.selectDevice(kDevices[row]);
    DeviceChosen = 1;
}

void DeviceForm::Command1_Click() {
    if (DeviceChosen != 1) {
        showMessage(this, QStringLiteral("Please select a device"));
        return;
    }
    if (!program_.mainForm) {
        program_.mainForm = new MainForm(program_);
        if (!program_.mainForm->loaded()) {
            return; // the start-up failed and the program has ended
        }
    }
    program_.mainForm->show();
    hide();
}

} // namespace qd::ui

namespace qd::ui {
DeviceForm::~DeviceForm() = default;
} // namespace qd::ui
