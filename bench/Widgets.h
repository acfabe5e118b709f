#pragma once

// The few small things every view makes or reads of its widgets, each
// named (objectName) so that a test finds it.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <string>

namespace qd::bench {

inline QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

// What a field holds, blanks either side taken off.
inline std::string text(const QLineEdit* edit) {
    return edit->text().trimmed().toStdString();
}
inline std::string text(const QComboBox* box) {
    return box->currentText().trimmed().toStdString();
}

inline QLineEdit* lineEdit(const char* name, const QString& hint) {
    auto* edit = new QLineEdit;
    edit->setObjectName(name);
    edit->setPlaceholderText(hint);
    return edit;
}

inline QPushButton* button(const QString& label, const char* name) {
    auto* b = new QPushButton(label);
    b->setObjectName(name);
    return b;
}

} // namespace qd::bench
