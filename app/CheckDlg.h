#pragma once

#include <QDialog>
#include <QStringList>
#include <functional>
#include <string>
#include <thread>

#include "imaging/DryRun.h"

class QLabel;
class QPushButton;
class QTableWidget;

namespace orfeo {

// The check before a job: what the job would do, as its dry run knows it, without changing anything on
// disk. One row per entry (its files, its output, what is wrong with it) and one per unused second-folder
// page; above them what the run would say before its entries, how many pages it would write, how many
// files its reset would delete, and the caller's warnings. The plan is made on a thread of its own, so the
// window never waits for it. "Run" ends the dialog with kRun, for the caller to run the job; "Close" (the
// default) and Escape with Rejected. Window-modal over `owner`.
class CheckDlg : public QDialog {
    Q_OBJECT

public:
    static constexpr int kRun = 2;
    using Planner = std::function<JobPlan()>;

    // `job` is the job's name ("Create back subscans"); `outputSubfolder` names outputs in the rows.
    CheckDlg(QWidget* owner, const QString& job, bool merge, const std::string& outputSubfolder,
             const QStringList& warnings, Planner plan);
    // Waits for a plan still being made: it reads the caller's lists.
    ~CheckDlg() override;

    bool Ready() const { return m_ready; }
    QTableWidget* Table() const { return m_table; }
    // The text above the table: the run's own messages before its entries, the count, the reset, warnings.
    QString Summary() const;

private:
    void ShowPlan(const JobPlan& plan);

    bool m_merge;
    std::string m_outputSubfolder;
    QStringList m_warnings;
    bool m_ready = false;
    QLabel* m_summary = nullptr;
    QTableWidget* m_table = nullptr;
    QPushButton* m_run = nullptr;
    std::thread m_planner;
};

}  // namespace orfeo
