#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

#include "app/PageViewer.h"
#include "imaging/BatchResult.h"
#include "imaging/JobOptions.h"
#include "imaging/MessageSink.h"

class QWidget;

namespace orfeo {

class JobProgressDlg;

// Runs one batch job off the user-interface thread while the window repaints. A progress dialog over
// `owner` (JobProgressDlg) shows the page count and the current file name, with Stop. The job's messages
// are shown as the tool's message boxes, in order, from the user-interface thread, and the job waits for
// each to be dismissed. Run() returns when the job has ended.
//
// A message box is never behind the progress dialog: the dialog is hidden while a box shows and comes
// back only when a later page is done and a second has passed without another box. It shows only once a run
// has gone on for a moment without a message (a run refused at once shows none), and it is gone before the
// closing messages.
//
// A problem's box offers, beside OK, "Show the rest at the end", after which the run goes on without
// showing its further problems and ends with one Problems window (ProblemsDlg) that lists every problem of
// the run and how many pages were not written, before "Processing ended."; and "Stop", which stops the run
// as the progress dialog's Stop does.
class JobRun : public QObject, private IMessageSink {
    Q_OBJECT

public:
    using Job = std::function<BatchResult(IMessageSink& messages, const JobOptions& options)>;

    // `title` names the job in the progress dialog's caption; `views` are its entries for the viewer that
    // the Problems window opens.
    JobRun(QWidget* owner, std::size_t entries, const QString& title, std::vector<ViewEntry> views = {});
    BatchResult Run(const Job& job);
    // Stops the run as the progress dialog's Stop does: the pages in hand finish, no new one starts.
    void RequestStop();

private:
    void ShowMessage(MessageKind kind, const std::string& text) override;
    void ShowMessageNow(MessageKind kind, const QString& text);
    void OnProgress(std::size_t done, std::size_t total, const QString& name);
    void UpdateProgressDialog();

    QWidget* m_owner;
    std::size_t m_entries;
    QString m_title;
    std::vector<ViewEntry> m_views;
    std::atomic<bool> m_stop{false};
    JobProgressDlg* m_dialog = nullptr;
    bool m_delayPassed = false;       // the run has gone on long enough for a progress dialog
    bool m_messageShowing = false;    // a message box is up
    bool m_pagesSinceMessage = true;  // a page was done since the last message (or there was none)
    bool m_allDone = false;           // every page is done; only the closing messages can follow
    bool m_holdProblems = false;      // the user asked to see the rest of the problems at the end
    QStringList m_problems;           // every problem of the run, in order
    QString m_heldEnd;                // the closing message, held until the Problems window was shown
    QElapsedTimer m_sinceBox;         // since the last message box closed
};

}  // namespace orfeo
