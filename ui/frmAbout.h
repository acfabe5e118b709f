#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class frmAbout;
}

namespace qd::ui {

// The About window: title, version line and where newer software is.
class frmAbout : public QDialog {
    Q_OBJECT
  public:
    explicit frmAbout(QWidget* parent);
    ~frmAbout() override;

  private:
    void Form_Load();

    std::unique_ptr<Ui::frmAbout> ui_;
};

} // namespace qd::ui
