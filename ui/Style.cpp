#include "ui/Style.h"

#include <QMessageBox>
#include <QPalette>
#include <QWidget>

namespace qd::ui {

QFont captionFont(qreal pointSize, bool bold) {
    QFont font;
    // Substitutes of about the same width come first: the layouts are sized
    // for it.
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Nimbus Sans"), QStringLiteral("Helvetica"),
                      QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

void paint(QWidget* widget, const QColor& background, const QColor& text) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, background);
    palette.setColor(QPalette::WindowText, text);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

QIcon programIcon() {
    return QIcon(QStringLiteral(":/icons/qd1600.png"));
}

void showMessage(QWidget* parent, const QString& text) {
    QMessageBox box(QMessageBox::Warning, kApplicationTitle, text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace qd::ui
