// The windows under the offscreen platform, driven by Qt Test events and
// found by object name, over the recording fake link library.

#include "fake/FakeLink.h"
#include "link/Binding.h"
#include "ui/DeviceForm.h"
#include "ui/MainForm.h"
#include "ui/Program.h"
#include "ui/frmAbout.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QKeySequence>
#include <QLCDNumber>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <ostream>

using namespace qd;
using namespace qd::ui;

namespace {

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool deviceFormVisible = false;
};

class UiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        program =
            std::make_unique<Program>(std::make_unique<link::UsbFunctionsBinding>("QdFakeLink"),
                                      QStringLiteral("/opt/board"));
        program->end = [this](int status) { ended = status; };
    }
    void TearDown() override {
        program.reset();
        ASSERT_EQ(QApplication::activeModalWidget(), nullptr) << "a modal window was left open";
    }

    template <typename T> T* find(QWidget* window, const char* name) {
        T* w = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    DeviceForm* deviceForm() { return program->deviceForm; }
    MainForm* mainForm() { return program->mainForm; }

    // Answers the next modal window with `answer` once it is up, and records
    // what a message box said.
    QPointer<QTimer> whenModal(std::function<void(QWidget*)> answer) {
        auto* timer = new QTimer(qApp);
        timer->setInterval(5);
        QObject::connect(timer, &QTimer::timeout, [this, timer, answer] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal) {
                return;
            }
            timer->stop();
            timer->deleteLater();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                boxes.push_back({box->windowTitle(), box->text(), box->icon(),
                                 deviceForm() && deviceForm()->isVisible()});
            }
            answer(modal);
        });
        timer->start();
        return timer;
    }
    QPointer<QTimer> pressOkOnNextBox() {
        return whenModal([](QWidget* modal) {
            QTest::mouseClick(static_cast<QMessageBox*>(modal)->button(QMessageBox::Ok),
                              Qt::LeftButton);
        });
    }

    void click(QWidget* window, const char* name) {
        QTest::mouseClick(find<QAbstractButton>(window, name), Qt::LeftButton);
    }

    // Start-up, a device, "OK": the main window is up.
    void openMainWindow(const char* deviceOption = "Option1") {
        program->Main();
        click(deviceForm(), deviceOption);
        click(deviceForm(), "Command1");
        ASSERT_TRUE(mainForm());
        ASSERT_TRUE(mainForm()->isVisible());
        fake::calls().clear();
    }

    QLineEdit* dacText() { return find<QLineEdit>(mainForm(), "DacText"); }
    void typeData(const QString& text) {
        dacText()->clear();
        QTest::keyClicks(dacText(), text);
    }
    std::vector<std::vector<long long>> requests() const {
        std::vector<std::vector<long long>> r;
        for (const auto& c : fake::calls()) {
            r.push_back(c.args);
        }
        return r;
    }

    std::unique_ptr<Program> program;
    std::optional<int> ended;
    std::vector<SeenBox> boxes;
};

} // namespace

TEST_F(UiTest, StartupShowsDeviceSelectionWithNoDeviceChosen) {
    program->Main();
    ASSERT_TRUE(deviceForm());
    EXPECT_TRUE(deviceForm()->isVisible());
    for (const char* name : {"Option1", "Option2", "Option3", "Option4"}) {
        EXPECT_FALSE(find<QRadioButton>(deviceForm(), name)->isChecked()) << name;
    }
    EXPECT_EQ(program->state.FrameLength, 24);
    EXPECT_EQ(program->state.Resolution, 0);
    EXPECT_EQ(program->state.PowerMode, 0);
    EXPECT_EQ(program->state.DacWord, 0);
}

TEST_F(UiTest, OkRefusesUntilADeviceIsClickedHoweverOftenPressed) {
    program->Main();
    for (int i = 0; i < 3; ++i) {
        pressOkOnNextBox();
        click(deviceForm(), "Command1");
    }
    ASSERT_EQ(boxes.size(), 3u);
    for (const auto& box : boxes) {
        EXPECT_EQ(box.text, "Please select a device");
        EXPECT_EQ(box.title, "QD1200_1400_1600_1610");
        EXPECT_EQ(box.icon, QMessageBox::Warning);
    }
    EXPECT_FALSE(mainForm());
    EXPECT_TRUE(deviceForm()->isVisible());
    EXPECT_TRUE(fake::calls().empty()) << "the board is not touched";
}

TEST_F(UiTest, LastDeviceClickWins) {
    program->Main();
    click(deviceForm(), "Option1");
    click(deviceForm(), "Option3");
    EXPECT_EQ(program->state.FrameLength, 24);
    EXPECT_EQ(program->state.Resolution, 16);
    click(deviceForm(), "Option2");
    EXPECT_EQ(program->state.FrameLength, 16);
    EXPECT_EQ(program->state.Resolution, 14);
}

TEST_F(UiTest, EnterDoesNotConfirmTheDevice) {
    program->Main();
    click(deviceForm(), "Option1");
    for (QWidget* target : {static_cast<QWidget*>(deviceForm()),
                            static_cast<QWidget*>(find<QWidget>(deviceForm(), "Option1"))}) {
        QTest::keyClick(target, Qt::Key_Return);
        QTest::keyClick(target, Qt::Key_Enter);
    }
    EXPECT_FALSE(mainForm());
    EXPECT_TRUE(fake::calls().empty());
}

// What the user sees of the device group: the one option shown checked
// ("none" while the fifth, out of sight, holds the selection) and where the
// keyboard focus is.
struct DeviceView {
    std::string checked;
    std::string focused;
    bool operator==(const DeviceView&) const = default;
};
std::ostream& operator<<(std::ostream& out, const DeviceView& v) {
    return out << "checked " << v.checked << ", focus on " << v.focused;
}

TEST_F(UiTest, KeyboardStaysOnTheFourVisibleDevicesAndOkFollowsWhatIsShown) {
    // Option1 (QD1200) stands at the top, Option4 (QD1610) at the bottom.
    // "none": just shown, focus on the first option of the tab order and no
    // device chosen.
    struct Case {
        const char* start;
        std::vector<Qt::Key> keys;
        DeviceView seen;
    };
    const auto tab = Qt::Key_Tab, backtab = Qt::Key_Backtab;
    const Case cases[] = {
        {"none", {}, {"none", "Option4"}},
        {"none", {Qt::Key_Down}, {"none", "Option4"}},
        {"none", {Qt::Key_Right}, {"none", "Option4"}},
        {"none", {Qt::Key_Left}, {"none", "Option4"}},
        {"none", {Qt::Key_Up}, {"none", "Option3"}},
        {"none", {tab}, {"none", "Command1"}},
        {"none", {tab, tab}, {"none", "Option4"}},
        {"none", {backtab}, {"none", "Command1"}},
        {"Option1", {Qt::Key_Down}, {"Option2", "Option2"}},
        {"Option1", {Qt::Key_Up}, {"Option1", "Option1"}},
        {"Option1", {Qt::Key_Right}, {"Option1", "Option1"}},
        {"Option1", {Qt::Key_Left}, {"Option1", "Option1"}},
        {"Option2", {Qt::Key_Down}, {"Option3", "Option3"}},
        {"Option2", {Qt::Key_Up}, {"Option1", "Option1"}},
        {"Option2", {Qt::Key_Right}, {"Option2", "Option2"}},
        {"Option2", {Qt::Key_Left}, {"Option2", "Option2"}},
        {"Option3", {Qt::Key_Down}, {"Option4", "Option4"}},
        {"Option3", {Qt::Key_Up}, {"Option2", "Option2"}},
        {"Option3", {Qt::Key_Right}, {"Option3", "Option3"}},
        {"Option3", {Qt::Key_Left}, {"Option3", "Option3"}},
        {"Option4", {Qt::Key_Down}, {"Option4", "Option4"}},
        {"Option4", {Qt::Key_Down, Qt::Key_Down}, {"Option4", "Option4"}},
        {"Option4", {Qt::Key_Up}, {"Option3", "Option3"}},
        {"Option4", {Qt::Key_Right}, {"Option4", "Option4"}},
        {"Option4", {Qt::Key_Left}, {"Option4", "Option4"}},
        {"Option4", {tab}, {"Option4", "Command1"}},
        {"Option4", {tab, tab}, {"Option4", "Option4"}},
        {"Option4", {backtab}, {"Option4", "Command1"}},
        {"Option1", {tab, tab, Qt::Key_Down}, {"Option2", "Option2"}},
    };
    const std::map<std::string, std::pair<int, int>> frames = {
        {"Option1", {16, 12}}, {"Option2", {16, 14}}, {"Option3", {24, 16}}, {"Option4", {24, 16}}};
    for (const auto& c : cases) {
        std::string what = std::string("from ") + c.start + ",";
        for (const Qt::Key key : c.keys) {
            what += " " + QKeySequence(key).toString().toStdString();
        }
        SetUp();
        boxes.clear();
        program->Main();
        QApplication::setActiveWindow(deviceForm());
        if (c.start != std::string("none")) {
            click(deviceForm(), c.start);
        }
        for (const Qt::Key key : c.keys) {
            if (QWidget* focus = QApplication::focusWidget()) {
                QTest::keyClick(focus, key);
            }
        }

        DeviceView seen{"none", "nothing"};
        for (const char* name : {"Option1", "Option2", "Option3", "Option4", "Option5"}) {
            auto* option = find<QRadioButton>(deviceForm(), name);
            const bool shown = option->isVisible() &&
                               option->parentWidget()->rect().intersects(option->geometry());
            if (option->isChecked() && shown) {
                seen.checked = name;
            }
        }
        if (QWidget* focus = QApplication::focusWidget()) {
            seen.focused = focus->objectName().toStdString();
        }
        EXPECT_EQ(seen, c.seen) << what;

        // OK goes on with the device shown, and refuses when none is.
        const QPointer<QTimer> answer = pressOkOnNextBox();
        click(deviceForm(), "Command1");
        delete answer; // still waiting when no message came
        if (c.seen.checked == "none") {
            EXPECT_FALSE(mainForm()) << what << ": OK went on with no device shown";
            EXPECT_EQ(boxes.size(), 1u) << what;
            EXPECT_TRUE(!boxes.empty() && boxes[0].text == "Please select a device") << what;
        } else {
            EXPECT_TRUE(mainForm()) << what << ": OK refused";
            const auto [frameLength, resolution] = frames.at(c.seen.checked);
            EXPECT_EQ(program->state.FrameLength, frameLength) << what;
            EXPECT_EQ(program->state.Resolution, resolution) << what;
        }
        TearDown();
    }
}

TEST_F(UiTest, StartupSuccessOpensTheMainWindowInNormalOperation) {
    program->Main();
    click(deviceForm(), "Option1");
    click(deviceForm(), "Command1");
    ASSERT_TRUE(mainForm());
    EXPECT_TRUE(mainForm()->isVisible());
    EXPECT_FALSE(deviceForm()->isVisible());
    EXPECT_TRUE(find<QRadioButton>(mainForm(), "Option1")->isChecked());
    EXPECT_EQ(program->state.PowerMode, 0);
    EXPECT_EQ(dacText()->text(), "0000");
    ASSERT_EQ(fake::calls().size(), 1u);
    EXPECT_EQ(fake::calls()[0].function, "LoadFirmWare");
    EXPECT_EQ(fake::calls()[0].path, "/opt/board/QD1600.hex");
    EXPECT_FALSE(ended);
}

TEST_F(UiTest, StartupFailureTellsTheUserAndEnds) {
    fake::behaviour().loadFirmWareResult = 0;
    program->Main();
    click(deviceForm(), "Option3");
    pressOkOnNextBox();
    click(deviceForm(), "Command1");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Error Downloading Firmware - Check USB connections");
    EXPECT_EQ(boxes[0].title, "QD1200_1400_1600_1610");
    EXPECT_EQ(boxes[0].icon, QMessageBox::Warning);
    EXPECT_TRUE(boxes[0].deviceFormVisible) << "still on the screen when the message shows";
    ASSERT_TRUE(ended);
    EXPECT_NE(*ended, 0);
    EXPECT_FALSE(mainForm() && mainForm()->isVisible());
}

TEST_F(UiTest, MissingLinkLibraryIsReportedWithItsNumberAndEnds) {
    program = std::make_unique<Program>(std::make_unique<link::UsbFunctionsBinding>("QdNoSuchLink"),
                                        QStringLiteral("/opt/board"));
    program->end = [this](int status) { ended = status; };
    program->Main();
    click(deviceForm(), "Option1");
    pressOkOnNextBox();
    click(deviceForm(), "Command1");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].text.startsWith("Run-time error '48'")) << boxes[0].text.toStdString();
    EXPECT_TRUE(boxes[0].text.contains("libQdNoSuchLink.so")) << boxes[0].text.toStdString();
    ASSERT_TRUE(ended);
    EXPECT_NE(*ended, 0);
}

TEST_F(UiTest, PowerModeTakesEffectAtTheNextProgramming) {
    openMainWindow("Option1"); // QD1200
    click(mainForm(), "Option4");
    EXPECT_EQ(program->state.PowerMode, 3);
    EXPECT_TRUE(fake::calls().empty()) << "a power mode alone sends nothing";
    typeData("FFF");
    click(mainForm(), "Command2");
    ASSERT_EQ(fake::calls().size(), 1u);
    EXPECT_EQ(fake::calls()[0].args, (std::vector<long long>{221, 0xFFFC, 0x1003, 0, 0}));
    EXPECT_EQ(dacText()->text(), "0FFF");
}

TEST_F(UiTest, EnterInTheBoxProgramsAsTheButtonDoes) {
    openMainWindow("Option1");
    typeData("800");
    QTest::keyClick(dacText(), Qt::Key_Return);
    const auto byEnter = requests();
    fake::calls().clear();
    typeData("800");
    click(mainForm(), "Command2");
    const auto byButton = requests();
    ASSERT_EQ(byEnter.size(), 1u);
    EXPECT_EQ(byEnter, byButton);
    EXPECT_EQ(byEnter[0], (std::vector<long long>{221, 8192, 4096, 0, 0}));
    EXPECT_EQ(dacText()->text(), "0800");
}

TEST_F(UiTest, EmptyBoxProgramsZero) {
    openMainWindow("Option3");
    dacText()->clear();
    QTest::keyClick(dacText(), Qt::Key_Enter);
    ASSERT_EQ(fake::calls().size(), 1u);
    EXPECT_EQ(fake::calls()[0].args, (std::vector<long long>{221, 0, 0x1800, 0, 0}));
    EXPECT_EQ(dacText()->text(), "0000");
}

TEST_F(UiTest, BadTextEmptiesTheBoxAndFocusesIt) {
    openMainWindow("Option1");
    QApplication::setActiveWindow(mainForm());
    for (const char* bad : {"G", "-1", "1 2", "123456789"}) {
        find<QWidget>(mainForm(), "Command2")->setFocus();
        typeData(QString::fromLatin1(bad));
        click(mainForm(), "Command2");
        EXPECT_EQ(dacText()->text(), "") << bad;
        EXPECT_EQ(QApplication::focusWidget(), dacText()) << bad;
    }
    EXPECT_TRUE(fake::calls().empty());
}

TEST_F(UiTest, ReadVoltageShowsTheScaledReading) {
    openMainWindow("Option1");
    fake::behaviour().reply = {0x10, 0x00}; // 2048
    click(mainForm(), "Command1");
    auto* led = find<QLCDNumber>(mainForm(), "NumLED1");
    EXPECT_DOUBLE_EQ(led->value(), static_cast<double>(2.465f));
    EXPECT_EQ(program->state.AdcReading, 2048);
    fake::behaviour().reply = {0xFF, 0xFF}; // top bits set, 4095 below them
    click(mainForm(), "Command1");
    EXPECT_DOUBLE_EQ(led->value(), static_cast<double>(4.929f));
    ASSERT_EQ(fake::calls().size(), 2u);
    EXPECT_EQ(fake::calls()[0].args, (std::vector<long long>{218, 0, 0, 1, 2}));
}

TEST_F(UiTest, ExitAndCloseEndTheProgramAtOnce) {
    openMainWindow();
    find<QAction>(mainForm(), "MnuExit")->trigger();
    EXPECT_EQ(ended, 0);
    ended.reset();
    mainForm()->close();
    EXPECT_EQ(ended, 0);
}

TEST_F(UiTest, MainWindowCannotBeResizedOrMaximized) {
    openMainWindow();
    EXPECT_FALSE(mainForm()->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(mainForm()->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(mainForm()->minimumSize(), mainForm()->maximumSize());
    const QSize before = mainForm()->size();
    mainForm()->resize(before * 2);
    EXPECT_EQ(mainForm()->size(), before);
    EXPECT_EQ(find<QWidget>(mainForm(), "centralWidget")->size(), QSize(365, 270));
}

TEST_F(UiTest, MainWindowIsCentredWholeWithItsMenuBar) {
    openMainWindow();
    auto* client = find<QWidget>(mainForm(), "centralWidget");
    EXPECT_EQ(client->size(), QSize(365, 270));
    EXPECT_EQ(mainForm()->height(), mainForm()->menuBar()->height() + client->height())
        << "the menu bar is part of the window";
    const QPointF screen = QRectF(mainForm()->screen()->availableGeometry()).center();
    const std::pair<const char*, QRect> parts[] = {
        {"frame", mainForm()->frameGeometry()},
        {"menu bar and client area", mainForm()->geometry()}};
    for (const auto& [what, rect] : parts) {
        const QPointF centre = QRectF(rect).center();
        EXPECT_NEAR(centre.x(), screen.x(), 1.0) << what;
        EXPECT_NEAR(centre.y(), screen.y(), 1.0) << what;
    }
}

TEST_F(UiTest, AboutShowsTheSameVersionEachTimeAndClosesEveryWay) {
    openMainWindow();
    const std::vector<std::pair<const char*, std::function<void(QWidget*)>>> closers = {
        {"OK",
         [](QWidget* w) {
             QTest::mouseClick(w->findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
         }},
        {"Escape", [](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); }},
        {"Enter", [](QWidget* w) { QTest::keyClick(w, Qt::Key_Return); }},
        {"close box", [](QWidget* w) { w->close(); }},
    };
    for (const auto& [how, closer] : closers) {
        QString version;
        bool modal = false;
        whenModal([&, closer = closer](QWidget* w) {
            version = w->findChild<QLabel*>("lblVersion")->text();
            modal = w->objectName() == "frmAbout" && w->isModal();
            closer(w);
        });
        find<QAction>(mainForm(), "MnuABout")->trigger();
        EXPECT_EQ(version, "Version 2.0.1") << how;
        EXPECT_TRUE(modal) << how;
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << how << " did not close it";
        EXPECT_TRUE(mainForm()->findChildren<frmAbout*>().empty()) << how << ": not unloaded";
    }
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationVersion("2.0.1");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
