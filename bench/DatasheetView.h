#pragma once

// The Datasheet view: a lot chosen from the store (a station's runs, a
// converter's since a date, or runs picked one by one), its table and its
// pages as qdctl datasheet gives them, and the PDF, HTML and CSV exported
// as that command writes them. The store is read, never made or written.

#include "report/ReportData.h"
#include "run/DatasheetOutput.h"
#include "session/CommonOptions.h"

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QListWidget;
class QPushButton;
class QStackedWidget;
class QTableWidget;
class QThread;

namespace qd::bench {

class PlotView;

class DatasheetView : public QWidget {
    Q_OBJECT

  public:
    // `common`: what qdctl would be given before the command (the store).
    explicit DatasheetView(session::CommonOptions common, QWidget* parent = nullptr);
    ~DatasheetView() override;

    // The lot as the form chooses it, its --since as typed: what the log's
    // line says.
    run::DatasheetRequest request() const;
    // Reading the store or writing a file, off the window's thread.
    bool busy() const { return job_ != nullptr; }

  public slots:
    // Reads the store's stations and characterizations into the choices.
    void refresh();
    // Reads the chosen lot and shows its table and pages.
    void showLot();
    void exportCsv(const QString& path);
    // PDF or HTML by the name's extension.
    void exportReport(const QString& path);

  signals:
    // A qdctl command line that does what was just done.
    void command(const QString& line);
    // A line for the log: a notice, an error.
    void message(const QString& line);
    // A lot was read, or refused, and is shown.
    void shown();
    // An export ended, written or refused.
    void exported();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QWidget* makeChoice();
    QWidget* makeOutcome();
    void exportTo(run::DatasheetRequest request);
    void chooseExport(const QString& format);
    void runJob(std::function<void()> work, std::function<void()> done);
    void setBusy(bool on);
    void fail(const QString& failure);
    void showSheet();
    void showPage(int index);
    // The request as the engine takes it: --since read as a time.
    run::DatasheetRequest engineRequest(run::DatasheetRequest request) const;

    session::CommonOptions common_;
    QComboBox *lotBy_ = nullptr, *station_ = nullptr, *device_ = nullptr, *verdict_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    QCheckBox* sinceGiven_ = nullptr;
    QDateEdit* since_ = nullptr;
    QListWidget *runs_ = nullptr, *plots_ = nullptr;
    QPushButton *refresh_ = nullptr, *show_ = nullptr, *pdf_ = nullptr, *html_ = nullptr,
                *csv_ = nullptr;
    QLabel *heading_ = nullptr, *error_ = nullptr;
    QTableWidget* table_ = nullptr;
    PlotView* page_ = nullptr;

    bool listed_ = false; // the store's choices read once the tab first shows
    QThread* job_ = nullptr;
    QString failure_, notice_;    // the job's, read once it ended
    run::DatasheetRequest shown_; // the lot whose table is shown
    std::unique_ptr<run::Datasheet> sheet_;
    report::ReportData drawn_;
};

} // namespace qd::bench
