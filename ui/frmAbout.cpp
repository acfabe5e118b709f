#include "ui/frmAbout.h"

#include "ui/ProgramVersion.h"
#include "ui/Style.h"
#include "ui_frmAbout.h"

namespace qd::ui {

frmAbout::frmAbout(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::frmAbout>()) {
    ui_->setupUi(this);
    // Fixed dialog border with a close box only; as a dialog it gets no
    // taskbar button of its own.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
    setWindowIcon(programIcon());

    for (QLabel* label : {ui_->lblTitle, ui_->lblVersion, ui_->lblDescription, ui_->Label1}) {
        label->setFont(captionFont(8.25));
    }
    for (QLabel* label : {ui_->lblTitle, ui_->lblDescription, ui_->Label1}) {
        QPalette p = label->palette();
        p.setColor(QPalette::WindowText, kBlack);
        label->setPalette(p);
    }
    ui_->cmdOK->setFont(captionFont(8.25, false));
    ui_->picIcon->setPixmap(programIcon().pixmap(32, 32));

    // An etched rule: a grey line over a white one, both named Line1.
    paint(ui_->Line1_1, kGrey, kGrey);
    paint(ui_->Line1_0, kWhite, kWhite);
    ui_->Line1_1->setObjectName(QStringLiteral("Line1"));
    ui_->Line1_1->setProperty("index", 1);
    ui_->Line1_0->setObjectName(QStringLiteral("Line1"));
    ui_->Line1_0->setProperty("index", 0);

    connect(ui_->cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    // Placed at a fixed spot on the screen rather than over its parent.
    move(2340 / 15, 1935 / 15);
    Form_Load();
}

void frmAbout::Form_Load() {
    const QVersionNumber version = programVersion();
    ui_->lblVersion->setText(QStringLiteral("Version %1.%2.%3")
                                 .arg(version.majorVersion())
                                 .arg(version.minorVersion())
                                 .arg(version.microVersion()));
}

} // namespace qd::ui

namespace qd::ui {
frmAbout::~frmAbout() = default;
} // namespace qd::ui
