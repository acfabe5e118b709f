#pragma once

#include <QMainWindow>
#include <memory>

namespace Ui {
class MainForm;
}

namespace qd::ui {

class Program;

// The evaluation window: power modes, the data word, and the readback.
class MainForm : public QMainWindow {
    Q_OBJECT
  public:
    // Loading runs the board start-up.
    explicit MainForm(Program& program);
    ~MainForm() override;

    // False when the board start-up failed while loading.
    bool loaded() const { return loaded_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    bool Form_Load();
    void Command2_Click();
    void Command1_Click();
    void MnuABout_Click();

    std::unique_ptr<Ui::MainForm> ui_;
    Program& program_;
    bool loaded_ = false;
    bool placed_ = false;
};

} // namespace qd::ui
