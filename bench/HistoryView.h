#pragma once

// The History view: the store's runs as `qdctl runs list` gives them, by
// the same filters; one opened (its figures, its setup, its plot); two
// compared figure by figure against their combined uncertainty, their
// plots overlaid; a run's CSV exported, its report made again, and runs
// pushed to a lab's server. The store is only read, as qdctl's readers
// read it; what writes is given to the log as its qdctl command line.

#include "session/CommonOptions.h"

#include <QStringList>
#include <QWidget>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

namespace qd::bench {

class PlotView;

class HistoryView : public QWidget {
    Q_OBJECT

  public:
    // `common`: the window's, whose store (--results) is the one read.
    explicit HistoryView(session::CommonOptions common, QWidget* parent = nullptr);
    ~HistoryView() override;

    // The full ids of the runs selected in the list, in the list's order.
    QStringList selectedIds() const;
    // A push is under way.
    bool running() const { return pushing_; }

  public slots:
    // The list again, by the filters as the form says them.
    void refresh();
    // One run's figures, setup and plot.
    void open(const QString& id);
    // Two runs side by side, b's figures less a's.
    void compare(const QString& a, const QString& b);
    void exportCsv(const QString& path);
    void saveReport(const QString& path);
    // Pushes the selected runs (every run when none is) to `to`, off the
    // window's thread.
    void push(const QString& to);
    // Ends a push's waits for its server; what it copied stays.
    void stop();

  signals:
    // A qdctl command line that does what was just done.
    void command(const QString& line);
    // A notice or an error for the log.
    void message(const QString& line);
    // What a refresh, an open or a compare gave is shown.
    void shown();
    // A push ended, whichever way.
    void pushed();

  private:
    QWidget* makeFilters();
    QWidget* makeDetails();
    // The filters as qdctl's options, for the log; the list's filter.
    std::vector<std::string> listArguments() const;
    void fail(const std::string& what);
    void openSelected();
    void compareSelected();
    void chooseCsv();
    void chooseReport();
    void pushEnded(const QString& text, bool failed);

    session::CommonOptions common_;
    QComboBox *device_ = nullptr, *kind_ = nullptr, *verdict_ = nullptr;
    QLineEdit *serial_ = nullptr, *station_ = nullptr, *since_ = nullptr, *to_ = nullptr;
    QPushButton *refresh_ = nullptr, *open_ = nullptr, *compare_ = nullptr, *export_ = nullptr,
                *report_ = nullptr, *push_ = nullptr;
    QTableWidget *runs_ = nullptr, *figures_ = nullptr;
    QLabel *title_ = nullptr, *error_ = nullptr;
    QPlainTextEdit* setup_ = nullptr;
    PlotView* plot_ = nullptr;
    std::thread pusher_;
    std::atomic<bool> pushing_{false};
    std::shared_ptr<std::atomic<bool>> stopPush_;
};

} // namespace qd::bench
