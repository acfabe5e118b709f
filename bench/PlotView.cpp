#include "bench/PlotView.h"

#include "report/Canvas.h"
#include "report/PainterCanvas.h"
#include "report/Plot.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <utility>

namespace qd::bench {

namespace {

constexpr double kMargin = 6;

report::Points within(const report::Points& points, double from, double to) {
    report::Points kept;
    std::copy_if(points.begin(), points.end(), std::back_inserter(kept),
                 [&](const auto& p) { return p.first >= from && p.first <= to; });
    return kept;
}

} // namespace

PlotView::PlotView(QWidget* parent) : QWidget(parent) {
    setMinimumSize(320, 200);
    // The plot's own colours are the report's, drawn on the report's white.
    setAutoFillBackground(false);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setToolTip("Wheel or +/-: zoom; drag or arrows: pan; double-click or Home: all codes");
}

void PlotView::show(report::PlotData plot) {
    if (!shown_ || plot.title != plot_.title) {
        zoomed_.reset();
    }
    plot_ = std::move(plot);
    shown_ = true;
    update();
}

void PlotView::clear() {
    shown_ = false;
    zoomed_.reset();
    cursor_.clear();
    cursorCode_.reset();
    update();
}

std::pair<double, double> PlotView::range() const {
    return zoomed_ ? *zoomed_ : std::pair{plot_.fromCode, plot_.toCode};
}

void PlotView::zoom(double factor, double around) {
    const auto [from, to] = range();
    const double whole = plot_.toCode - plot_.fromCode;
    // Never closer than a few codes, never wider than the plot.
    const double span = std::clamp((to - from) * factor, std::min(whole, 8.0), whole);
    const double at = std::clamp(around, from, to);
    const double share = to > from ? (at - from) / (to - from) : 0.5;
    double first = at - share * span;
    first = std::clamp(first, plot_.fromCode, plot_.toCode - span);
    zoomed_ = std::pair{first, first + span};
    update();
}

void PlotView::pan(double fraction) {
    const auto [from, to] = range();
    const double span = to - from;
    const double first = std::clamp(from + fraction * span, plot_.fromCode, plot_.toCode - span);
    zoomed_ = std::pair{first, first + span};
    update();
}

void PlotView::reset() {
    zoomed_.reset();
    update();
}

report::PlotData PlotView::visible() const {
    if (!zoomed_) {
        return plot_;
    }
    report::PlotData shown = plot_;
    const auto [from, to] = *zoomed_;
    shown.fromCode = from;
    shown.toCode = to;
    shown.points = within(plot_.points, from, to);
    shown.second = within(plot_.second, from, to);
    for (auto& other : shown.others) {
        other = within(other, from, to);
    }
    return shown;
}

const std::pair<double, double>* PlotView::nearest(double code) const {
    const auto [from, to] = range();
    const std::pair<double, double>* best = nullptr;
    for (const auto& p : plot_.points) {
        if (p.first >= from && p.first <= to &&
            (!best || std::abs(p.first - code) < std::abs(best->first - code))) {
            best = &p;
        }
    }
    return best;
}

QString PlotView::readAt(double code) const {
    const std::pair<double, double>* nearest = this->nearest(code);
    if (!nearest) {
        return {};
    }
    // Codes in hexadecimal, as the plot labels them; other axes in decimal.
    QString where;
    if (!plot_.decimalX) {
        where = "code " +
                QStringLiteral("%1")
                    .arg(static_cast<qlonglong>(std::llround(nearest->first)), 4, 16, QChar('0'))
                    .toUpper();
    } else {
        where = QString::fromStdString(plot_.xName) + " " + QString::number(nearest->first, 'g', 6);
    }
    return where + ": " + QString::number(nearest->second, 'g', 5) + " " +
           QString::fromStdString(plot_.yLabel);
}

double PlotView::codeAt(double x) const {
    const auto [from, to] = range();
    return from + (x - areaLeft_) / areaWidth_ * (to - from);
}

void PlotView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), Qt::white);
    if (!shown_) {
        return;
    }
    report::PainterCanvas canvas(painter);
    const report::PlotData shown = visible();
    const report::Box box{kMargin, kMargin, width() - 2 * kMargin, height() - 2 * kMargin};
    const double fontSize = font().pointSizeF() > 0 ? font().pointSizeF() : 9;
    report::drawPlot(canvas, shown, box, fontSize);
    const report::PlotFrame frame = report::frameOf(shown, box, fontSize);
    areaLeft_ = frame.area.left;
    areaWidth_ = std::max(1.0, frame.area.width);
    if (!cursorCode_ || cursor_.isEmpty()) {
        return;
    }
    const double x = frame.x(*cursorCode_);
    painter.setPen(QPen(QColor(0x55, 0x55, 0x55), 0, Qt::DotLine));
    painter.drawLine(QPointF(x, frame.area.top), QPointF(x, frame.area.top + frame.area.height));
    const QRectF label = painter.boundingRect(
        QRectF(frame.area.left + 4, frame.area.top + 4, frame.area.width, 100), 0, cursor_);
    painter.fillRect(label.adjusted(-3, -1, 3, 1), QColor(255, 255, 255, 220));
    painter.setPen(Qt::black);
    painter.drawText(label, cursor_);
}

void PlotView::mouseMoveEvent(QMouseEvent* event) {
    if (!shown_) {
        return;
    }
    const double code = codeAt(event->position().x());
    if (dragFrom_) {
        const double dragged = event->position().x() - dragFrom_->x();
        pan(-dragged / areaWidth_);
        dragFrom_ = event->position();
    }
    cursor_ = readAt(code);
    // The cursor sits on the point it reads.
    cursorCode_.reset();
    if (const auto* point = nearest(code)) {
        cursorCode_ = point->first;
    }
    update();
}

void PlotView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragFrom_ = event->position();
    }
}

void PlotView::mouseReleaseEvent(QMouseEvent*) {
    dragFrom_.reset();
}

void PlotView::mouseDoubleClickEvent(QMouseEvent*) {
    reset();
}

void PlotView::wheelEvent(QWheelEvent* event) {
    if (!shown_ || event->angleDelta().y() == 0) {
        return;
    }
    zoom(event->angleDelta().y() > 0 ? 0.8 : 1.25, codeAt(event->position().x()));
    event->accept();
}

void PlotView::keyPressEvent(QKeyEvent* event) {
    const auto [from, to] = range();
    const double middle = (from + to) / 2;
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoom(0.8, middle);
        break;
    case Qt::Key_Minus:
        zoom(1.25, middle);
        break;
    case Qt::Key_Left:
        pan(-0.1);
        break;
    case Qt::Key_Right:
        pan(0.1);
        break;
    case Qt::Key_Home:
        reset();
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void PlotView::leaveEvent(QEvent*) {
    cursor_.clear();
    cursorCode_.reset();
    update();
}

} // namespace qd::bench
