#pragma once

#include <QDialog>
#include <QStringList>
#include <functional>
#include <string>
#include <thread>

#include "app/PageViewer.h"
#include "run/DryRun.h"

class QDialogButtonBox;
class QLabel;
class QPushButton;
class QTableWidget;

namespace orfeo {

// The check before a job: what the job would do, as its dry run knows it, without changing anything on
// disk. One row per entry (its files, its output, what is wrong with it) and one per unused second-folder
// page; above them what the run would say before its entries, how many pages it would write, how many
// files its reset would delete, and the caller's warnings. The plan is made on a thread of its own, so the
// window never waits for it. "Run" ends the dialog with kRun, for the caller to run the job; "Close" (the
// default) and Escape with Rejected. "View..." (or Enter or a double click on a row) opens the page viewer
// on the row's entry, one of `views` (in the order of the plan's entries). Window-modal over `owner`.
class CheckDlg : public QDialog {
    Q_OBJECT

public:
    static constexpr int kRun = 2;
    using Planner = std::function<JobPlan()>;

    // `job` is the job's name ("Create back subscans"); `outputSubfolder` names outputs in the rows.
    CheckDlg(QWidget* owner, const QString& job, bool merge, const std::string& outputSubfolder,
             const QStringList& warnings, Planner plan, std::vector<ViewEntry> views = {});
    // Waits for a plan still being made: it reads the caller's lists.
    ~CheckDlg() override;

    bool Ready() const { return m_ready; }
    QTableWidget* Table() const { return m_table; }
    // The text above the table: the run's own messages before its entries, the count, the reset, warnings.
    QString Summary() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The View, Run and Close buttons, with what they do.
    QDialogButtonBox* AddButtons();
    void ShowPlan(const JobPlan& plan);
    void ViewRow(int row);

    bool m_merge;
    std::string m_outputSubfolder;
    QStringList m_warnings;
    bool m_ready = false;
    QLabel* m_summary = nullptr;
    QTableWidget* m_table = nullptr;
    QPushButton* m_run = nullptr;
    QPushButton* m_view = nullptr;
    std::vector<ViewEntry> m_views;
    std::size_t m_entries = 0;  // rows that are entries (the rest are unused second-folder pages)
    std::thread m_planner;
};

}  // namespace orfeo
