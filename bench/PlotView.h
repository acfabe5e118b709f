#pragma once

// A plot in the window, drawn by the report's drawPlot on the painter's
// canvas: the picture a PDF or an SVG of the same data shows.

#include "report/ReportData.h"

#include <QWidget>

namespace qd::bench {

class PlotView : public QWidget {
    Q_OBJECT

  public:
    explicit PlotView(QWidget* parent = nullptr);

    void show(report::PlotData plot);
    void clear();
    bool empty() const { return !shown_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    report::PlotData plot_;
    bool shown_ = false;
};

} // namespace qd::bench
