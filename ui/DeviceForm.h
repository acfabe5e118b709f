#pragma once

#include <QWidget>
#include <cstdint>
#include <memory>

namespace Ui {
class DeviceForm;
}

namespace qd::ui {

class Program;

// "Device Selection": the user says which converter is fitted to the board.
class DeviceForm : public QWidget {
    Q_OBJECT
  public:
    explicit DeviceForm(Program& program);
    ~DeviceForm() override;

    std::int16_t DeviceChosen = 0;

  private:
    void Form_Load();
    void deviceClicked(std::size_t row);
    void Command1_Click();

    std::unique_ptr<Ui::DeviceForm> ui_;
    Program& program_;
};

} // namespace qd::ui
