#pragma once

// A plot in the window, drawn by the report's drawPlot on the painter's
// canvas: the picture a PDF or an SVG of the same data shows. The wheel (or
// + and -) zooms the codes around the pointer, a drag (or the arrows) pans,
// a double click (or Home) shows it all again; the cursor reads the code
// and the value of the point nearest to the pointer.

#include "report/ReportData.h"

#include <QPointF>
#include <QWidget>
#include <optional>
#include <utility>

namespace qd::bench {

class PlotView : public QWidget {
    Q_OBJECT

  public:
    explicit PlotView(QWidget* parent = nullptr);

    // Keeps the codes zoomed to while the same plot (by its title) is
    // shown again with more points, as a live plot is.
    void show(report::PlotData plot);
    void clear();
    bool empty() const { return !shown_; }

    // The codes shown, from and to.
    std::pair<double, double> range() const;
    void zoom(double factor, double around);
    void pan(double fraction); // of the codes shown; positive: to larger codes
    void reset();
    // "code 8000: 0.3123 LSB", for the point nearest to `code`; "" with none.
    QString readAt(double code) const;
    const QString& cursorText() const { return cursor_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    report::PlotData visible() const;
    // The shown point whose code is nearest to `code`; null with none.
    const std::pair<double, double>* nearest(double code) const;
    // The code under the widget's x, in the frame last drawn.
    double codeAt(double x) const;

    report::PlotData plot_;
    bool shown_ = false;
    std::optional<std::pair<double, double>> zoomed_;
    QString cursor_;
    std::optional<double> cursorCode_;
    std::optional<QPointF> dragFrom_;
    double areaLeft_ = 0, areaWidth_ = 1; // of the frame last drawn
};

} // namespace qd::bench
