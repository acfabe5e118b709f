#include "cli/Plot.h"

#include <QChart>
#include <QChartView>
#include <QLineSeries>
#include <QPixmap>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWidget>

namespace qd::cli {

namespace {

QChartView* chartOf(const QString& title, const QString& xTitle, const QString& yTitle,
                    std::initializer_list<QLineSeries*> series, QWidget* parent) {
    auto* chart = new QChart;
    chart->setTitle(title);
    auto* x = new QValueAxis;
    x->setTitleText(xTitle);
    x->setLabelFormat(QStringLiteral("%d"));
    auto* y = new QValueAxis;
    y->setTitleText(yTitle);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    for (QLineSeries* s : series) {
        chart->addSeries(s);
        s->attachAxis(x);
        s->attachAxis(y);
    }
    auto* view = new QChartView(chart, parent);
    view->setRenderHint(QPainter::Antialiasing);
    return view;
}

} // namespace

bool writeSweepPlot(const std::vector<SweepRow>& rows, const QString& title, const QString& path) {
    auto* expected = new QLineSeries;
    expected->setName(QStringLiteral("expected"));
    auto* measured = new QLineSeries;
    measured->setName(QStringLiteral("measured"));
    auto* error = new QLineSeries;
    error->setName(QStringLiteral("measured - expected"));
    for (const auto& r : rows) {
        expected->append(r.code, r.expectedVolts);
        measured->append(r.code, r.measuredVolts);
        error->append(r.code, r.errorMillivolts());
    }
    QWidget page;
    page.resize(900, 760);
    auto* layout = new QVBoxLayout(&page);
    layout->addWidget(chartOf(title, QStringLiteral("code"), QStringLiteral("output (V)"),
                              {expected, measured}, &page),
                      3);
    layout->addWidget(chartOf(QStringLiteral("Error"), QStringLiteral("code"),
                              QStringLiteral("error (mV)"), {error}, &page),
                      2);
    page.ensurePolished();
    layout->activate();
    return page.grab().save(path, "PNG");
}

} // namespace qd::cli
