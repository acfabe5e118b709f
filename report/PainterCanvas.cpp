#include "report/PainterCanvas.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

namespace qd::report {

namespace {

QPen qpen(const Pen& pen) {
    return QPen(QColor(QRgb(pen.colour)), pen.width, pen.dashed ? Qt::DashLine : Qt::SolidLine);
}

} // namespace

void PainterCanvas::line(Point from, Point to, const Pen& pen) {
    p_.setPen(qpen(pen));
    p_.drawLine(QPointF(from.first, from.second), QPointF(to.first, to.second));
}

void PainterCanvas::polyline(const std::vector<Point>& points, const Pen& pen) {
    if (points.empty()) {
        return;
    }
    QPainterPath path(QPointF(points.front().first, points.front().second));
    for (const auto& [x, y] : points) {
        path.lineTo(x, y);
    }
    stroke(path, pen);
}

void PainterCanvas::stems(const std::vector<Point>& tops, double baseY, const Pen& pen) {
    if (tops.empty()) {
        return;
    }
    QPainterPath path(QPointF(tops.front().first, tops.front().second));
    for (const auto& [x, y] : tops) {
        path.moveTo(x, baseY);
        path.lineTo(x, y);
    }
    stroke(path, pen);
}

void PainterCanvas::rect(const Box& box, const Pen& pen) {
    p_.setPen(qpen(pen));
    p_.setBrush(Qt::NoBrush);
    p_.drawRect(QRectF(box.left, box.top, box.width, box.height));
}

void PainterCanvas::fill(const Box& box, unsigned colour) {
    p_.fillRect(QRectF(box.left, box.top, box.width, box.height), QColor(QRgb(colour)));
}

void PainterCanvas::text(double x, double y, const std::string& text, Anchor anchor, Level level,
                         double points, unsigned colour) {
    font(points);
    p_.setPen(QColor(QRgb(colour)));
    const QString s = QString::fromStdString(text);
    if (level == Level::Baseline) {
        const double width = QFontMetricsF(p_.font()).horizontalAdvance(s);
        const double left = anchor == Anchor::Start    ? x
                            : anchor == Anchor::Middle ? x - width / 2
                                                       : x - width;
        p_.drawText(QPointF(left, y), s);
        return;
    }
    // A box around the point, the text set in it as asked.
    const Qt::Alignment align = anchor == Anchor::Start    ? Qt::AlignLeft
                                : anchor == Anchor::Middle ? Qt::AlignHCenter
                                                           : Qt::AlignRight;
    const double left = anchor == Anchor::Start ? x : anchor == Anchor::Middle ? x - 60 : x - 120;
    p_.drawText(QRectF(left, y - points * 1.25, 120, points * 2.5),
                static_cast<int>(align | Qt::AlignVCenter), s);
}

double PainterCanvas::textWidth(const std::string& text, double points) {
    font(points);
    return QFontMetricsF(p_.font()).horizontalAdvance(QString::fromStdString(text));
}

void PainterCanvas::clip(const Box& box) {
    p_.save();
    p_.setClipRect(QRectF(box.left, box.top, box.width, box.height));
}

void PainterCanvas::unclip() {
    p_.restore();
}

void PainterCanvas::stroke(const QPainterPath& path, const Pen& pen) {
    p_.setPen(qpen(pen));
    p_.setBrush(Qt::NoBrush);
    p_.drawPath(path);
}

void PainterCanvas::font(double points) {
    QFont f(QStringLiteral("Sans Serif"));
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(points);
    p_.setFont(f);
}

} // namespace qd::report
