#include "ui/MainForm.h"

#include "control/DataWord.h"
#include "ui/Program.h"
#include "ui/Style.h"
#include "ui/frmAbout.h"
#include "ui_MainForm.h"

#include <QCloseEvent>
#include <QLayout>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>

namespace qd::ui {

using control::ProgramDac;
using control::ProgramOutcome;
using control::ReadVoltage;

MainForm::MainForm(Program& program) : ui_(std::make_unique<Ui::MainForm>()), program_(program) {
    ui_->setupUi(this);
    setWindowIcon(programIcon());
    // Fixed single border: minimize and close, no maximize, no resizing.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    ui_->centralWidget->setFixedSize(geometry().size());
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    paint(ui_->centralWidget, kBlue, kWhite);
    for (QWidget* frame : {ui_->Frame1, ui_->Frame2, ui_->Frame3}) {
        paint(frame, kBlue, kWhite);
        frame->setFont(captionFont(9.75));
    }
    for (QRadioButton* option : {ui_->Option1, ui_->Option2, ui_->Option3, ui_->Option4}) {
        option->setFont(captionFont(8.25));
    }
    QPalette text = ui_->DacText->palette();
    text.setColor(QPalette::Text, kDarkBlue);
    ui_->DacText->setPalette(text);
    ui_->DacText->setFont(captionFont(12));
    paint(ui_->Label4, kBlue, kWhite);
    for (QWidget* w : {static_cast<QWidget*>(ui_->Label4), static_cast<QWidget*>(ui_->Command2),
                       static_cast<QWidget*>(ui_->Command1)}) {
        w->setFont(captionFont(9.75));
    }
    for (QPushButton* button : {ui_->Command2, ui_->Command1}) {
        button->setPalette(QPalette()); // the platform's own button colours
    }
    paint(ui_->NumLED1, kBlue, kWhite);
    ui_->NumLED1->setSmallDecimalPoint(false);

    const std::pair<QRadioButton*, std::int16_t> modes[] = {
        {ui_->Option1, 0}, {ui_->Option2, 1}, {ui_->Option3, 2}, {ui_->Option4, 3}};
    for (const auto& [option, mode] : modes) {
        connect(option, &QRadioButton::toggled, this, [this, mode = mode](bool on) {
            if (on) {
                program_.state.selectPowerMode(mode);
            }
        });
    }
    // Enter in the box programs as the button does; the box still gets the
    // key, as returnPressed comes from its own key handling.
    connect(ui_->DacText, &QLineEdit::returnPressed, this, &MainForm::Command2_Click);
    connect(ui_->Command2, &QPushButton::clicked, this, &MainForm::Command2_Click);
    connect(ui_->Command1, &QPushButton::clicked, this, &MainForm::Command1_Click);
    connect(ui_->MnuExit, &QAction::triggered, this, [this] { program_.end(0); });
    connect(ui_->MnuABout, &QAction::triggered, this, &MainForm::MnuABout_Click);

    loaded_ = Form_Load();
}

bool MainForm::Form_Load() {
    if (!program_.StartBoard(this)) {
        return false;
    }
    ui_->Option1->setChecked(true);
    return true;
}

void MainForm::Command2_Click() {
    const ProgramOutcome outcome =
        ProgramDac(ui_->DacText->text().toStdString(), program_.state, program_.comms());
    ui_->DacText->setText(QString::fromStdString(outcome.text));
    if (outcome.failed) {
        ui_->DacText->setFocus();
    }
}

void MainForm::Command1_Click() {
    try {
        ui_->NumLED1->display(ReadVoltage(program_.state, program_.comms()));
    } catch (const std::exception& failure) {
        program_.report(this, failure);
    }
}

void MainForm::MnuABout_Click() {
    // Loaded afresh each time and gone when closed.
    frmAbout about(this);
    about.exec();
}

void MainForm::showEvent(QShowEvent* event) {
    // Centred as a whole, menu bar and frame included, so placed at its first
    // showing: by then the layout has added the menu bar to the window's size
    // and the native window, which knows the frame, exists. move() places the
    // frame.
    if (!placed_) {
        placed_ = true;
        move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, frameGeometry().size(),
                                 screen()->availableGeometry())
                 .topLeft());
    }
    QMainWindow::showEvent(event);
}

void MainForm::closeEvent(QCloseEvent* event) {
    event->accept();
    program_.end(0);
}

} // namespace qd::ui

namespace qd::ui {
MainForm::~MainForm() = default;
} // namespace qd::ui
