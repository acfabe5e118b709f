// Every control of the three windows against its layout table: position and
// size in twips (15 to a pixel), caption, container and tab order.

#include "fake/FakeLink.h"
#include "link/Binding.h"
#include "ui/DeviceForm.h"
#include "ui/MainForm.h"
#include "ui/Program.h"
#include "ui/frmAbout.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <gtest/gtest.h>
#include <map>

namespace {

struct Control {
    const char* window;
    const char* name;
    const char* container;
    const char* caption;          // nullptr: none to check
    int left, top, width, height; // twips
};

// Containers are named as the windows place them; a main-window control
// placed on the window itself sits on its client area, "centralWidget".
const Control kControls[] = {
    {"DeviceForm", "Frame1", "DeviceForm", "Select Device", 600, 240, 1695, 1455},
    {"DeviceForm", "Option1", "Frame1", "QD1200", 240, 360, 1095, 255},
    {"DeviceForm", "Option2", "Frame1", "QD1400", 240, 600, 1095, 255},
    {"DeviceForm", "Option3", "Frame1", "QD1600", 240, 840, 1095, 255},
    {"DeviceForm", "Option4", "Frame1", "QD1610", 240, 1080, 1095, 255},
    {"DeviceForm", "Option5", "Frame1", "QD1610", 240, 1800, 1095, 255},
    {"DeviceForm", "Command1", "DeviceForm", "OK", 840, 1800, 1215, 495},

    {"MainForm", "centralWidget", "MainForm", nullptr, 0, 0, 5475, 4050},
    {"MainForm", "Frame1", "centralWidget", "Choose Power Down Option", 120, 240, 3135, 1935},
    {"MainForm", "Option1", "Frame1", "Normal Operation", 240, 360, 1815, 255},
    {"MainForm", "Option2", "Frame1", "Power Down - 1K to Gnd", 240, 720, 2535, 255},
    {"MainForm", "Option3", "Frame1", "Power Down - 100 K to Gnd", 240, 1080, 2775, 255},
    {"MainForm", "Option4", "Frame1", "Power Down - Three State", 240, 1440, 2655, 255},
    {"MainForm", "Frame2", "centralWidget", "Enter Data Word", 3360, 240, 1935, 1935},
    {"MainForm", "DacText", "Frame2", "0000", 120, 360, 1095, 375},
    {"MainForm", "Label4", "Frame2", "HEX", 1320, 480, 495, 255},
    {"MainForm", "Command2", "Frame2", "&Program DAC", 120, 1080, 1695, 615},
    {"MainForm", "Frame3", "centralWidget", "Read Back Output Voltage", 120, 2280, 5175, 1575},
    {"MainForm", "NumLED1", "Frame3", nullptr, 240, 480, 2655, 735},
    {"MainForm", "Command1", "Frame3", "&Read Voltage", 3360, 600, 1695, 615},

    {"frmAbout", "picIcon", "frmAbout", nullptr, 240, 240, 540, 540},
    {"frmAbout", "lblTitle", "frmAbout", "QD1200/1400/1600/1610 Evaluation Board Control Software",
     1050, 240, 3885, 480},
    {"frmAbout", "lblVersion", "frmAbout", "Version 2.0.1", 1050, 780, 3885, 225},
    {"frmAbout", "lblDescription", "frmAbout", nullptr, 1050, 1125, 3885, 450},
    {"frmAbout", "Label1", "frmAbout", nullptr, 1080, 1680, 3885, 690},
    {"frmAbout", "cmdOK", "frmAbout", "OK", 4245, 2625, 1260, 345},
};

struct WindowInfo {
    const char* name;
    const char* title;
    int clientWidth, clientHeight;     // twips
    std::vector<const char*> tabOrder; // the controls that take focus, in order
};

const WindowInfo kWindows[] = {
    {"DeviceForm",
     "Device Selection",
     2925,
     2445,
     {"Option4", "Option3", "Option2", "Option1", "Command1"}}, // never the hidden Option5
    {"MainForm",
     "QD1200/1400/1600/1610 Evaluation Software",
     5475,
     4050,
     {"Option1", "Option2", "Option3", "Option4", "DacText", "Command2", "Command1"}},
    {"frmAbout", "About QD1600 Evaluation Software", 5730, 3090, {"cmdOK"}},
};

int px(int twips) {
    return (twips + 7) / 15;
}

QString captionOf(QWidget* w) {
    if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        return b->text();
    }
    if (auto* g = qobject_cast<QGroupBox*>(w)) {
        return g->title();
    }
    if (auto* l = qobject_cast<QLabel*>(w)) {
        return l->text();
    }
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        return e->text();
    }
    return w->windowTitle();
}

} // namespace

TEST(Layout, EveryControlAgainstItsTable) {
    fake::reset();
    qd::ui::Program program(std::make_unique<qd::link::UsbFunctionsBinding>("QdFakeLink"),
                            QStringLiteral("/opt/board"));
    program.end = [](int) {};
    auto* deviceForm = new qd::ui::DeviceForm(program);
    program.deviceForm = deviceForm;
    auto* mainForm = new qd::ui::MainForm(program);
    program.mainForm = mainForm;
    qd::ui::frmAbout about(mainForm);
    const std::map<std::string, QWidget*> windows = {
        {"DeviceForm", deviceForm}, {"MainForm", mainForm}, {"frmAbout", &about}};

    for (const auto& c : kControls) {
        const std::string what = std::string(c.window) + "." + c.name;
        QWidget* window = windows.at(c.window);
        auto* w = window->findChild<QWidget*>(QString::fromLatin1(c.name));
        ASSERT_NE(w, nullptr) << what;
        EXPECT_EQ(w->geometry(), QRect(px(c.left), px(c.top), px(c.width), px(c.height))) << what;
        ASSERT_NE(w->parentWidget(), nullptr) << what;
        EXPECT_EQ(w->parentWidget()->objectName().toStdString(), c.container) << what;
        if (c.caption) {
            EXPECT_EQ(captionOf(w).toStdString(), c.caption) << what;
        }
    }

    for (const auto& info : kWindows) {
        QWidget* window = windows.at(info.name);
        EXPECT_EQ(window->windowTitle().toStdString(), info.title) << info.name;
        QWidget* client = info.name == std::string("MainForm")
                              ? window->findChild<QWidget*>("centralWidget")
                              : window;
        EXPECT_EQ(client->size(), QSize(px(info.clientWidth), px(info.clientHeight))) << info.name;
        EXPECT_FALSE(window->windowIcon().isNull()) << info.name;

        std::vector<std::string> chain;
        for (QWidget* w = window->nextInFocusChain(); w != window; w = w->nextInFocusChain()) {
            const auto name = w->objectName().toStdString();
            for (const char* wanted : info.tabOrder) {
                if (name == wanted && (w->focusPolicy() & Qt::TabFocus) && w->window() == window) {
                    chain.push_back(name);
                }
            }
        }
        EXPECT_EQ(chain, std::vector<std::string>(info.tabOrder.begin(), info.tabOrder.end()))
            << info.name << " tab order";
    }

    // The hidden fifth device option lies below the frame's edge: clipped.
    auto* option5 = deviceForm->findChild<QWidget*>("Option5");
    EXPECT_FALSE(option5->parentWidget()->rect().intersects(option5->geometry()));

    // The etched rule of the About window: grey over white.
    const auto lines = about.findChildren<QWidget*>("Line1");
    ASSERT_EQ(lines.size(), 2);
    for (QWidget* line : lines) {
        const bool upper = line->property("index").toInt() == 1;
        EXPECT_EQ(line->geometry(), upper ? QRect(6, 163, 371, 1) : QRect(7, 164, 370, 2));
        EXPECT_EQ(line->palette().color(QPalette::Window),
                  upper ? QColor(128, 128, 128) : QColor(255, 255, 255));
    }

    // Menus and their access keys.
    const std::pair<const char*, const char*> menus[] = {
        {"MnuFile", "&File"}, {"MnuHelp", "&Help"}, {"MnuExit", "E&xit"}, {"MnuABout", "&About"}};
    for (const auto& [name, caption] : menus) {
        QObject* item = mainForm->findChild<QObject*>(name);
        ASSERT_NE(item, nullptr) << name;
        const QString text = qobject_cast<QMenu*>(item) ? qobject_cast<QMenu*>(item)->title()
                                                        : qobject_cast<QAction*>(item)->text();
        EXPECT_EQ(text.toStdString(), caption) << name;
    }

    // Default and cancel buttons only in the About window.
    for (auto* button : deviceForm->findChildren<QPushButton*>()) {
        EXPECT_FALSE(button->isDefault()) << button->objectName().toStdString();
    }
    for (auto* button : mainForm->findChildren<QPushButton*>()) {
        if (button->window() == mainForm) {
            EXPECT_FALSE(button->isDefault()) << button->objectName().toStdString();
        }
    }
    EXPECT_TRUE(about.findChild<QPushButton*>("cmdOK")->isDefault());
}
