// qdctl's report module: the characterization's page and plots, drawn by
// our own code: HTML with inline SVG as text, PDF and PNG with Qt Gui's
// painter. Loaded only when a report or a plot is asked for.

#include "report/Canvas.h"
#include "report/Html.h"
#include "report/Plot.h"
#include "report/ReportData.h"
#include "session/ModuleExport.h"

#include <QFile>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QSysInfo>
#include <array>
#include <cstdio>
#include <functional>
#include <memory>

namespace qd::report {

namespace {

// Drawing happens in points (1/72 inch) on every device.
class Page {
  public:
    Page(QPainter& painter, double pointsWide) : p_(painter), width_(pointsWide) {}

    void font(double points, bool bold = false) {
        QFont f(QStringLiteral("Sans Serif"));
        f.setStyleHint(QFont::SansSerif);
        f.setPointSizeF(points);
        f.setBold(bold);
        p_.setFont(f);
    }
    // Text in a box `width` wide from (x, y) down, wrapped; the height it took.
    double text(double x, double y, double width, const std::string& s,
                Qt::Alignment align = Qt::AlignLeft) {
        const QRectF box(x, y, width, 1000);
        QRectF used;
        p_.drawText(box, static_cast<int>(align | Qt::AlignTop | Qt::TextWordWrap),
                    QString::fromStdString(s), &used);
        return used.height();
    }
    QPainter& painter() { return p_; }
    double width() const { return width_; }

  private:
    QPainter& p_;
    double width_;
};

// The one canvas on Qt's painter: text sizes in points, whatever the
// device, as the page's own text is.
class PainterCanvas final : public Canvas {
  public:
    explicit PainterCanvas(QPainter& p) : p_(p) {}

    void line(Point from, Point to, const Pen& pen) override {
        p_.setPen(qpen(pen));
        p_.drawLine(QPointF(from.first, from.second), QPointF(to.first, to.second));
    }
    void polyline(const std::vector<Point>& points, const Pen& pen) override {
        if (points.empty()) {
            return;
        }
        QPainterPath path(QPointF(points.front().first, points.front().second));
        for (const auto& [x, y] : points) {
            path.lineTo(x, y);
        }
        stroke(path, pen);
    }
    void stems(const std::vector<Point>& tops, double baseY, const Pen& pen) override {
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
    void rect(const Box& box, const Pen& pen) override {
        p_.setPen(qpen(pen));
        p_.setBrush(Qt::NoBrush);
        p_.drawRect(QRectF(box.left, box.top, box.width, box.height));
    }
    void text(double x, double y, const std::string& text, Anchor anchor, Level level,
              double points, unsigned colour) override {
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
        const double left = anchor == Anchor::Start    ? x
                            : anchor == Anchor::Middle ? x - 60
                                                       : x - 120;
        p_.drawText(QRectF(left, y - points * 1.25, 120, points * 2.5),
                    static_cast<int>(align | Qt::AlignVCenter), s);
    }
    double textWidth(const std::string& text, double points) override {
        font(points);
        return QFontMetricsF(p_.font()).horizontalAdvance(QString::fromStdString(text));
    }
    void clip(const Box& box) override {
        p_.save();
        p_.setClipRect(QRectF(box.left, box.top, box.width, box.height));
    }
    void unclip() override { p_.restore(); }

  private:
    static QPen qpen(const Pen& pen) {
        return QPen(QColor(QRgb(pen.colour)), pen.width, pen.dashed ? Qt::DashLine : Qt::SolidLine);
    }
    void stroke(const QPainterPath& path, const Pen& pen) {
        p_.setPen(qpen(pen));
        p_.setBrush(Qt::NoBrush);
        p_.drawPath(path);
    }
    void font(double points) {
        QFont f(QStringLiteral("Sans Serif"));
        f.setStyleHint(QFont::SansSerif);
        f.setPointSizeF(points);
        p_.setFont(f);
    }

    QPainter& p_;
};

void drawPlot(QPainter& p, const PlotData& plot, const Box& box, double fontSize) {
    PainterCanvas canvas(p);
    report::drawPlot(canvas, plot, box, fontSize);
}

// Lines under plots drawn alone, from `top` down, `lineHeight` each; fixed
// pitch, since their columns are aligned with spaces.
void drawCaption(QPainter& p, const std::vector<std::string>& lines, double left, double top,
                 double lineHeight) {
    QFont font(QStringLiteral("Monospace"));
    font.setStyleHint(QFont::Monospace);
    font.setPointSizeF(lineHeight * 0.65);
    p.setFont(font);
    p.setPen(Qt::black);
    for (const auto& line : lines) {
        top += lineHeight;
        p.drawText(QPointF(left, top), QString::fromStdString(line));
    }
}

// A piece of the report drawn whole on one page, at the height measured
// for it with the fonts it is drawn in, so that nothing overlaps whatever
// wraps: a failure's long reasons, a long setting, a figure's note.
struct Block {
    double height = 0;
    std::function<void(double top)> draw;
    bool keepWithNext = false; // a heading stays with what it heads
};

constexpr double kFooterHeight = 16;

// The height `text` takes wrapped to `width` in that font; 0 for none.
double measuredHeight(Page& page, double points, bool bold, double width, const std::string& text) {
    page.font(points, bold);
    return text.empty() ? 0.0
                        : page.painter()
                              .boundingRect(QRectF(0, 0, width, 1e6),
                                            static_cast<int>(Qt::AlignLeft | Qt::TextWordWrap),
                                            QString::fromStdString(text))
                              .height();
}

// The title, the verdict's badge and its reasons beside it.
Block titleBlock(Page& page, const ReportData& d) {
    const double w = page.width();
    const double titleHeight = measuredHeight(page, 15, true, w, d.title);
    page.font(10, true);
    const double badgeWidth = std::max(
        44.0,
        QFontMetricsF(page.painter().font()).horizontalAdvance(QString::fromStdString(d.verdict)) +
            12);
    const double reasonsHeight = measuredHeight(page, 9, false, w - badgeWidth - 8, d.reasons);
    return {titleHeight + 4 + std::max(20.0, reasonsHeight + 6),
            [&page, &d, w, titleHeight, badgeWidth](double y) {
                QPainter& painter = page.painter();
                page.font(15, true);
                page.text(0, y, w, d.title);
                y += titleHeight + 4;
                page.font(10, true);
                const QRectF badge(0, y, badgeWidth, 16);
                painter.fillRect(badge, QColor(QRgb(verdictColour(d.verdict))));
                painter.setPen(Qt::white);
                painter.drawText(badge, Qt::AlignCenter, QString::fromStdString(d.verdict));
                painter.setPen(Qt::black);
                page.font(9);
                page.text(badgeWidth + 8, y + 2, w - badgeWidth - 8, d.reasons);
            },
            false};
}

// A setting a line: its label, its value wrapped beside it.
void addSetupBlocks(Page& page, const ReportData& d, std::vector<Block>& blocks) {
    const double w = page.width();
    for (const auto& [label, value] : d.setup) {
        const double h = std::max({11.0, measuredHeight(page, 8.5, false, 95, label),
                                   measuredHeight(page, 8.5, false, w - 100, value)}) +
                         1;
        blocks.push_back({h,
                          [&page, &label = label, &value = value, w](double y) {
                              QPainter& painter = page.painter();
                              page.font(8.5);
                              painter.setPen(QColor(0x55, 0x55, 0x55));
                              page.text(0, y, 95, label);
                              painter.setPen(Qt::black);
                              page.text(100, y, w - 100, value);
                          },
                          false});
    }
}

// The figures' table: its heading, kept with the first row, and a row each.
void addFigureBlocks(Page& page, const ReportData& d, std::vector<Block>& blocks) {
    const double w = page.width();
    // Name, value, uncertainty, unit, where, limit, status: left edges and
    // widths, the numbers right-aligned.
    static constexpr std::array<double, 7> kLeft = {0, 100, 172, 236, 266, 384, 444};
    const std::array<double, 7> width = {96, 68, 60, 28, 114, 56, w - kLeft[6]};
    blocks.push_back({18,
                      [&page, &d, w](double y) {
                          y += 6;
                          page.font(8.5, true);
                          for (std::size_t i = 0; i < 7; ++i) {
                              page.text(kLeft[i], y, 90, headingOf(d, i));
                          }
                          page.painter().drawLine(QPointF(0, y + 11), QPointF(w, y + 11));
                      },
                      true});
    for (const FigureRow& row : d.figures) {
        const std::array<std::string, 7> cells = {row.name,  row.value, row.uncertainty, row.unit,
                                                  row.where, row.limit, row.status};
        double h = 11;
        for (std::size_t i = 0; i < 7; ++i) {
            h = std::max(h, measuredHeight(page, 8.5, false, width[i], cells[i]));
        }
        blocks.push_back({h + 1,
                          [&page, cells, width](double y) {
                              QPainter& painter = page.painter();
                              page.font(8.5);
                              for (std::size_t i = 0; i < 7; ++i) {
                                  painter.setPen(i == 6 && cells[i] == "FAIL"
                                                     ? QColor(QRgb(verdictColour("FAIL")))
                                                     : QColor(Qt::black));
                                  const bool number = i == 1 || i == 2;
                                  page.text(kLeft[i], y, width[i], cells[i],
                                            number ? Qt::AlignRight : Qt::AlignLeft);
                              }
                          },
                          false});
    }
}

std::vector<Block> pageBlocks(Page& page, const ReportData& d) {
    const double w = page.width();
    std::vector<Block> blocks = {titleBlock(page, d)};
    addSetupBlocks(page, d, blocks);
    addFigureBlocks(page, d, blocks);
    for (const PlotData& plot : d.plots) {
        blocks.push_back({186,
                          [&page, &plot, w](double y) {
                              drawPlot(page.painter(), plot, {0, y + 6, w, 175}, 9);
                          },
                          false});
    }
    for (const auto& note : d.notes) {
        const std::string text = "• " + note;
        blocks.push_back({measuredHeight(page, 7, false, w - 8, text) + 2,
                          [&page, text, w](double y) {
                              page.font(7);
                              page.painter().setPen(QColor(0x33, 0x33, 0x33));
                              page.text(8, y, w - 8, text);
                          },
                          false});
    }
    return blocks;
}

// The report's pages: title and verdict, set-up, figures, plots, notes,
// each page with the footer and its number; `newPage` starts the next.
void drawPages(Page& page, const ReportData& d, double pageHeight,
               const std::function<void()>& newPage) {
    const std::vector<Block> blocks = pageBlocks(page, d);
    const double usable = pageHeight - kFooterHeight;
    // Where each block goes: a block that does not fit starts a page, and
    // takes the heading it follows with it.
    std::vector<std::pair<int, double>> at(blocks.size());
    int pageIndex = 0;
    double y = 0;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (y > 0 && y + blocks[i].height > usable) {
            std::size_t first = i;
            while (first > 0 && blocks[first - 1].keepWithNext &&
                   at[first - 1].first == pageIndex && at[first - 1].second > 0) {
                --first;
            }
            ++pageIndex;
            y = 0;
            for (std::size_t j = first; j < i; ++j) {
                at[j] = {pageIndex, y};
                y += blocks[j].height;
            }
        }
        at[i] = {pageIndex, y};
        y += blocks[i].height;
    }
    const int pages = pageIndex + 1;
    QPainter& p = page.painter();
    for (int n = 0; n < pages; ++n) {
        if (n > 0) {
            newPage();
        }
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            if (at[i].first == n) {
                blocks[i].draw(at[i].second);
            }
        }
        page.font(7);
        p.setPen(QColor(0x55, 0x55, 0x55));
        const double footerTop = pageHeight - kFooterHeight + 6;
        p.drawLine(QPointF(0, footerTop - 3), QPointF(page.width(), footerTop - 3));
        const std::string number = "page " + std::to_string(n + 1) + " of " + std::to_string(pages);
        page.text(0, footerTop, page.width() - 70, d.footer);
        page.text(page.width() - 70, footerTop, 70, number, Qt::AlignRight);
    }
}

bool writePdf(const ReportData& d, const std::string& path, bool plotsOnly, std::string& error) {
    QPdfWriter writer(QString::fromStdString(path));
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(15, 12, 15, 12), QPageLayout::Millimeter);
    writer.setResolution(72); // one device unit per point
    writer.setTitle(QString::fromStdString(d.title));
    writer.setCreator(QStringLiteral("qdctl"));
    QPainter p;
    if (!p.begin(&writer)) {
        error = "cannot start the PDF";
        return false;
    }
    const double width = writer.width();
    if (plotsOnly) {
        double y = 0;
        for (const PlotData& plot : d.plots) {
            drawPlot(p, plot, {0, y, width, 300}, 10);
            y += 310;
        }
        drawCaption(p, d.caption, 0, y, 12);
    } else {
        Page page(p, width);
        drawPages(page, d, writer.height(), [&writer] { writer.newPage(); });
    }
    return p.end();
}

bool writePng(const ReportData& d, const std::string& path, std::string& error) {
    const int plotsHeight = kPlotHeight * static_cast<int>(d.plots.size());
    const int captionHeight =
        d.caption.empty() ? 0 : kCaptionLine * (static_cast<int>(d.caption.size()) + 1);
    QImage image(kPlotWidth, plotsHeight + captionHeight, QImage::Format_RGB32);
    // 72 dots an inch: a point is a pixel, as the layout counts them.
    image.setDotsPerMeterX(2835);
    image.setDotsPerMeterY(2835);
    image.fill(Qt::white);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        double y = 0;
        for (const PlotData& plot : d.plots) {
            drawPlot(p, plot, {0, y, kPlotWidth, kPlotHeight}, 12);
            y += kPlotHeight;
        }
        drawCaption(p, d.caption, kCaptionLine, y, kCaptionLine);
    }
    if (!image.save(QString::fromStdString(path), "PNG")) {
        error = "the PNG could not be saved";
        return false;
    }
    return true;
}

bool writeText(const std::string& text, const std::string& path, std::string& error) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !file.flush()) {
        error = file.errorString().toStdString();
        return false;
    }
    return true;
}

} // namespace

} // namespace qd::report

QDCTL_MODULE_EXPORT bool qdctlWriteReport(const qd::report::ReportData& data,
                                          const std::string& path, const std::string& format,
                                          bool plotsOnly, std::string& error) {
    using namespace qd::report;
    // Text needs no painter; the painter needs an application, offscreen.
    if (format == "html") {
        return writeText(htmlPage(data), path, error);
    }
    if (format == "svg") {
        return writeText(svgDocument(data), path, error);
    }
    std::unique_ptr<QGuiApplication> app;
    if (!QGuiApplication::instance()) {
        static int argc = 1;
        static char name[] = "qdctl";
        static char* argv[] = {name, nullptr};
        // A file, never a screen. The offscreen platform needs no display,
        // but on Windows it finds none of the system's fonts; Windows' own
        // platform draws without showing anything and knows them.
        qputenv("QT_QPA_PLATFORM",
                QSysInfo::kernelType() == QLatin1String("winnt") ? "windows" : "offscreen");
        // Qt's remarks about the session (no runtime folder, fonts) are not
        // the user's concern when a file is drawn; real failures are.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
            if (type == QtCriticalMsg || type == QtFatalMsg) {
                std::fprintf(stderr, "qdctl: %s\n", qPrintable(text));
            }
        });
        app = std::make_unique<QGuiApplication>(argc, argv);
    }
    if (format == "pdf") {
        return writePdf(data, path, plotsOnly, error);
    }
    if (format == "png") {
        return writePng(data, path, error);
    }
    error = "no such format: " + format;
    return false;
}
