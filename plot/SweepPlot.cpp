// qdctl's plot module: the only part of qdctl that needs Qt Gui, Widgets
// and Charts, loaded only when a sweep is to be drawn.

#include "plot/PlotData.h"
#include "qdctl/ModuleExport.h"

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QElapsedTimer>
#include <QLineSeries>
#include <QPainter>
#include <QPdfWriter>
#include <QSvgGenerator>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWidget>
#include <cstdio>

namespace {

using qd::cli::PlotData;

QLineSeries* seriesOf(const QString& name, const std::vector<std::pair<double, double>>& points) {
    auto* series = new QLineSeries;
    series->setName(name);
    QList<QPointF> list;
    list.reserve(static_cast<qsizetype>(points.size()));
    for (const auto& [x, y] : points) {
        list.append(QPointF(x, y));
    }
    // One replace rather than an append per point: the series is redrawn
    // once, not once per point.
    series->replace(list);
    return series;
}

QChartView* chartOf(const QString& title, const QString& yTitle, const PlotData& data,
                    std::initializer_list<QLineSeries*> series, QWidget* parent) {
    auto* chart = new QChart;
    chart->setTitle(title);
    auto* x = new QValueAxis;
    x->setTitleText(QStringLiteral("code"));
    x->setLabelFormat(QStringLiteral("%d"));
    x->setRange(data.fromCode, std::max(data.toCode, data.fromCode + 1));
    auto* y = new QValueAxis;
    y->setTitleText(yTitle);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    double low = 0, high = 0;
    bool first = true;
    for (QLineSeries* s : series) {
        chart->addSeries(s);
        s->attachAxis(x);
        s->attachAxis(y);
        for (const QPointF& p : s->points()) {
            low = first ? p.y() : std::min(low, p.y());
            high = first ? p.y() : std::max(high, p.y());
            first = false;
        }
    }
    const double margin = high > low ? (high - low) * 0.05 : 0.5;
    y->setRange(low - margin, high + margin);
    auto* view = new QChartView(chart, parent);
    view->setRenderHint(QPainter::Antialiasing);
    return view;
}

bool render(QWidget& page, const QString& path, const std::string& format, std::string& error) {
    if (format == "svg") {
        QSvgGenerator svg;
        svg.setFileName(path);
        svg.setSize(page.size());
        svg.setViewBox(QRect(QPoint(0, 0), page.size()));
        svg.setTitle(page.windowTitle());
        QPainter painter;
        if (!painter.begin(&svg)) {
            error = "cannot start the SVG";
            return false;
        }
        page.render(&painter);
        return painter.end();
    }
    if (format == "pdf") {
        QPdfWriter pdf(path);
        pdf.setTitle(page.windowTitle());
        pdf.setPageSize(QPageSize(QSizeF(page.width(), page.height()), QPageSize::Point));
        pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
        pdf.setResolution(72);
        QPainter painter;
        if (!painter.begin(&pdf)) {
            error = "cannot start the PDF";
            return false;
        }
        page.render(&painter);
        return painter.end();
    }
    QImage image(page.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        page.render(&painter);
    }
    if (!image.save(path, "PNG")) {
        error = "cannot save the PNG";
        return false;
    }
    return true;
}

} // namespace

QDCTL_MODULE_EXPORT bool qdctlDrawSweepPlot(const PlotData& data, const std::string& path,
                                            const std::string& format, std::string& error,
                                            double& drawSeconds) {
    // A file, never a screen: the offscreen platform needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt's remarks about the session (no runtime folder, fonts) are not the
    // user's concern when a file is drawn; real failures are reported.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtCriticalMsg || type == QtFatalMsg) {
            std::fprintf(stderr, "qdctl: plot: %s\n", qPrintable(message));
        }
    });
    static int argc = 1;
    static char name[] = "qdctl";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);

    QElapsedTimer timer;
    timer.start();
    QWidget page;
    page.setWindowTitle(QString::fromStdString(data.title));
    page.resize(qd::cli::kPlotWidth, qd::cli::kPlotHeight);
    auto* layout = new QVBoxLayout(&page);
    layout->addWidget(chartOf(QString::fromStdString(data.title), QStringLiteral("output (V)"),
                              data,
                              {seriesOf(QStringLiteral("expected"), data.expectedVolts),
                               seriesOf(QStringLiteral("measured"), data.measuredVolts)},
                              &page),
                      3);
    layout->addWidget(
        chartOf(QStringLiteral("Error"), QStringLiteral("error (mV)"), data,
                {seriesOf(QStringLiteral("reading - ideal reading"), data.errorMillivolts)}, &page),
        2);
    page.ensurePolished();
    layout->activate();
    const bool ok = render(page, QString::fromStdString(path), format, error);
    drawSeconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    return ok;
}
