#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QString>

class QWidget;

namespace qd::ui {

inline const QString kApplicationTitle = QStringLiteral("QD1200_1400_1600_1610");

inline const QColor kBlue(0, 0, 255);
inline const QColor kWhite(255, 255, 255);
inline const QColor kDarkBlue(0, 0, 192);
inline const QColor kBlack(0, 0, 0);
inline const QColor kGrey(128, 128, 128);

// The windows' caption font: bold "MS Sans Serif" where it exists, else the
// system's sans-serif, at the given point size.
QFont captionFont(qreal pointSize, bool bold = true);

// Solid background and text colour for a widget and its children.
void paint(QWidget* widget, const QColor& background, const QColor& text);

// The one program icon of all windows.
QIcon programIcon();

// A modal message with the exclamation icon, one "OK" and the application
// title as caption.
void showMessage(QWidget* parent, const QString& text);

} // namespace qd::ui
