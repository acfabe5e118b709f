#include "bench/PlotView.h"

#include "report/Canvas.h"
#include "report/PainterCanvas.h"

#include <QPainter>
#include <utility>

namespace qd::bench {

PlotView::PlotView(QWidget* parent) : QWidget(parent) {
    setMinimumSize(320, 200);
    // The plot's own colours are the report's, drawn on the report's white.
    setAutoFillBackground(false);
}

void PlotView::show(report::PlotData plot) {
    plot_ = std::move(plot);
    shown_ = true;
    update();
}

void PlotView::clear() {
    shown_ = false;
    update();
}

void PlotView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), Qt::white);
    if (!shown_) {
        return;
    }
    report::PainterCanvas canvas(painter);
    const double margin = 6;
    report::drawPlot(canvas, plot_, {margin, margin, width() - 2 * margin, height() - 2 * margin},
                     font().pointSizeF() > 0 ? font().pointSizeF() : 9);
}

} // namespace qd::bench
