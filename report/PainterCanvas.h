#pragma once

// The one canvas on Qt's painter, for every device a painter draws on: a
// PDF's page, a PNG, a window. Text sizes are in points whatever the
// device, as the page's own text is. The report module and the bench
// window both draw through it, so that a plot on screen is the plot in
// the file.

#include "report/Canvas.h"

class QPainter;
class QPainterPath;

namespace qd::report {

class PainterCanvas final : public Canvas {
  public:
    explicit PainterCanvas(QPainter& painter) : p_(painter) {}

    void line(Point from, Point to, const Pen& pen) override;
    void polyline(const std::vector<Point>& points, const Pen& pen) override;
    void stems(const std::vector<Point>& tops, double baseY, const Pen& pen) override;
    void rect(const Box& box, const Pen& pen) override;
    void fill(const Box& box, unsigned colour) override;
    void text(double x, double y, const std::string& text, Anchor anchor, Level level,
              double points, unsigned colour) override;
    double textWidth(const std::string& text, double points) override;
    void clip(const Box& box) override;
    void unclip() override;

  private:
    void stroke(const QPainterPath& path, const Pen& pen);
    void font(double points);

    QPainter& p_;
};

} // namespace qd::report
