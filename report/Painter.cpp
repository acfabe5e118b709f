// qdctl's report module: the characterization's page and plots, drawn by
// our own code: HTML with inline SVG as text, PDF and PNG with Qt Gui's
// painter. Loaded only when a report or a plot is asked for.

#include "report/Canvas.h"
#include "report/Html.h"
#include "report/Page.h"
#include "report/PainterCanvas.h"
#include "report/Plot.h"
#include "report/ReportData.h"
#include "session/ModuleExport.h"

#include <QFile>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <QSysInfo>
#include <cstdio>
#include <functional>
#include <memory>
#include <variant>

namespace qd::report {

namespace {

// Drawing happens in points (1/72 inch) on every device.
class Sheet {
  public:
    Sheet(QPainter& painter, double pointsWide) : p_(painter), width_(pointsWide) {}

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
struct Piece {
    double height = 0;
    std::function<void(double top)> draw;
    bool keepWithNext = false; // a heading stays with what it heads
};

constexpr double kFooterHeight = 16;
constexpr double kColumnGap = 4;

// The height `text` takes wrapped to `width` in that font; 0 for none.
double measuredHeight(Sheet& sheet, double points, bool bold, double width,
                      const std::string& text) {
    sheet.font(points, bold);
    return text.empty() ? 0.0
                        : sheet.painter()
                              .boundingRect(QRectF(0, 0, width, 1e6),
                                            static_cast<int>(Qt::AlignLeft | Qt::TextWordWrap),
                                            QString::fromStdString(text))
                              .height();
}

// Where a table's columns go across the sheet: left edges and widths.
struct ColumnsAt {
    std::vector<double> left, width;
};

ColumnsAt columnsAt(const Table& table, double sheetWidth) {
    ColumnsAt at;
    double left = 0;
    for (const Column& column : table.columns) {
        at.left.push_back(left);
        at.width.push_back(column.points > 0 ? column.points - kColumnGap : sheetWidth - left);
        left += column.points;
    }
    return at;
}

QColor cellColour(Cell cell, const std::string& text) {
    if (cell == Cell::Label) {
        return {0x55, 0x55, 0x55};
    }
    return cell == Cell::Status && text == "FAIL" ? QColor(QRgb(verdictColour("FAIL")))
                                                  : QColor(Qt::black);
}

// Each block of the page as the pieces it is printed in, appended to
// `pieces`: a table's heading and each row, each note, are pieces of their
// own, so that a page may end between them. The pieces draw from the
// blocks, which outlive them.
class PrintedBlock {
  public:
    PrintedBlock(Sheet& sheet, std::vector<Piece>& pieces) : sheet_(sheet), pieces_(pieces) {}

    void operator()(const Title& title) const {
        const double w = sheet_.width();
        pieces_.push_back({measuredHeight(sheet_, 15, true, w, title.text) + 4,
                           [&sheet = sheet_, &title, w](double y) {
                               sheet.font(15, true);
                               sheet.painter().setPen(Qt::black);
                               sheet.text(0, y, w, title.text);
                           },
                           true});
    }
    void operator()(const Verdict& verdict) const {
        const double w = sheet_.width();
        sheet_.font(10, true);
        const double badgeWidth =
            std::max(44.0, QFontMetricsF(sheet_.painter().font())
                                   .horizontalAdvance(QString::fromStdString(verdict.verdict)) +
                               12);
        const double reasonsHeight =
            measuredHeight(sheet_, 9, false, w - badgeWidth - 8, verdict.reasons);
        pieces_.push_back(
            {std::max(20.0, reasonsHeight + 6),
             [&sheet = sheet_, &verdict, w, badgeWidth](double y) {
                 QPainter& painter = sheet.painter();
                 sheet.font(10, true);
                 const QRectF badge(0, y, badgeWidth, 16);
                 painter.fillRect(badge, QColor(QRgb(verdictColour(verdict.verdict))));
                 painter.setPen(Qt::white);
                 painter.drawText(badge, Qt::AlignCenter, QString::fromStdString(verdict.verdict));
                 painter.setPen(Qt::black);
                 sheet.font(9);
                 sheet.text(badgeWidth + 8, y + 2, w - badgeWidth - 8, verdict.reasons);
             },
             false});
    }
    void operator()(const Table& table) const {
        const ColumnsAt at = columnsAt(table, sheet_.width());
        if (table.headed) {
            headings(table, at);
        }
        for (const auto& row : table.rows) {
            tableRow(table, row, at);
        }
    }
    void operator()(const Figure& figure) const {
        const double w = sheet_.width();
        pieces_.push_back({186,
                           [&sheet = sheet_, &figure, w](double y) {
                               drawPlot(sheet.painter(), *figure.plot, {0, y + 6, w, 175}, 9);
                           },
                           false});
    }
    void operator()(const Notes& notes) const {
        const double w = sheet_.width();
        for (const auto& line : notes.lines) {
            std::string text = "• " + line;
            const double h = measuredHeight(sheet_, 7, false, w - 8, text) + 2;
            pieces_.push_back({h,
                               [&sheet = sheet_, text = std::move(text), w](double y) {
                                   sheet.font(7);
                                   sheet.painter().setPen(QColor(0x33, 0x33, 0x33));
                                   sheet.text(8, y, w - 8, text);
                               },
                               false});
        }
    }

  private:
    // Headings are short: each on one line, free to run past a narrow
    // column into the gap after it.
    static constexpr double kHeadingWidth = 90;

    void headings(const Table& table, const ColumnsAt& at) const {
        const double w = sheet_.width();
        pieces_.push_back({18,
                           [&sheet = sheet_, &table, at, w](double y) {
                               y += 6;
                               sheet.font(8.5, true);
                               sheet.painter().setPen(Qt::black);
                               for (std::size_t i = 0; i < table.columns.size(); ++i) {
                                   sheet.text(at.left[i], y, kHeadingWidth,
                                              table.columns[i].heading);
                               }
                               sheet.painter().drawLine(QPointF(0, y + 11), QPointF(w, y + 11));
                           },
                           true});
    }
    void tableRow(const Table& table, const std::vector<std::string>& row,
                  const ColumnsAt& at) const {
        const std::size_t cells = std::min(row.size(), table.columns.size());
        double h = 11;
        for (std::size_t i = 0; i < cells; ++i) {
            h = std::max(h, measuredHeight(sheet_, 8.5, false, at.width[i], row[i]));
        }
        pieces_.push_back({h + 1,
                           [&sheet = sheet_, &table, &row, at, cells](double y) {
                               sheet.font(8.5);
                               for (std::size_t i = 0; i < cells; ++i) {
                                   const Cell cell = table.columns[i].cell;
                                   sheet.painter().setPen(cellColour(cell, row[i]));
                                   sheet.text(at.left[i], y, at.width[i], row[i],
                                              cell == Cell::Number ? Qt::AlignRight
                                                                   : Qt::AlignLeft);
                               }
                           },
                           false});
    }

    Sheet& sheet_;
    std::vector<Piece>& pieces_;
};

// Where each piece goes: a piece that does not fit starts a page, and takes
// the heading it follows with it. A page and a top for each.
std::vector<std::pair<int, double>> placed(const std::vector<Piece>& pieces, double usable) {
    std::vector<std::pair<int, double>> at(pieces.size());
    int pageIndex = 0;
    double y = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (y > 0 && y + pieces[i].height > usable) {
            std::size_t first = i;
            while (first > 0 && pieces[first - 1].keepWithNext &&
                   at[first - 1].first == pageIndex && at[first - 1].second > 0) {
                --first;
            }
            ++pageIndex;
            y = 0;
            for (std::size_t j = first; j < i; ++j) {
                at[j] = {pageIndex, y};
                y += pieces[j].height;
            }
        }
        at[i] = {pageIndex, y};
        y += pieces[i].height;
    }
    return at;
}

// The report's pages, its blocks in their order, each page with the footer
// and its number; `newPage` starts the next.
void drawPages(Sheet& sheet, const Page& page, double pageHeight,
               const std::function<void()>& newPage) {
    std::vector<Piece> pieces;
    for (const Block& block : page.blocks) {
        std::visit(PrintedBlock(sheet, pieces), block);
    }
    // A long footer (a lot's traceability) wraps, and the pages make room.
    const double footerHeight =
        std::max(kFooterHeight, measuredHeight(sheet, 7, false, sheet.width() - 70, page.footer) +
                                    kFooterHeight - 9);
    const std::vector<std::pair<int, double>> at = placed(pieces, pageHeight - footerHeight);
    const int pages = at.empty() ? 1 : at.back().first + 1;
    QPainter& p = sheet.painter();
    for (int n = 0; n < pages; ++n) {
        if (n > 0) {
            newPage();
        }
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (at[i].first == n) {
                pieces[i].draw(at[i].second);
            }
        }
        sheet.font(7);
        p.setPen(QColor(0x55, 0x55, 0x55));
        const double footerTop = pageHeight - footerHeight + 6;
        p.drawLine(QPointF(0, footerTop - 3), QPointF(sheet.width(), footerTop - 3));
        const std::string number = "page " + std::to_string(n + 1) + " of " + std::to_string(pages);
        sheet.text(0, footerTop, sheet.width() - 70, page.footer);
        sheet.text(sheet.width() - 70, footerTop, 70, number, Qt::AlignRight);
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
        Sheet sheet(p, width);
        drawPages(sheet, reportPage(d), writer.height(), [&writer] { writer.newPage(); });
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
