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
#include "protocol/MessageSink.h"
#include "run/BatchResult.h"
#include "run/JobOptions.h"

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
// closing messages. While it shows, the main window takes no input (MainWindowBlock) but its close box
// still reaches it, to ask whether to stop.
//
// A problem's box offers, beside OK, "Show the rest at the end", after which the run goes on without
// showing its further problems and ends with one Problems window (ProblemsDlg) that lists every problem of
// the run and how many pages were not written; and "Stop", which stops the run as the progress dialog's
// Stop does. Once a stop is asked for, by any of these, no further problem's box comes: what the pages in
// hand had to say is shown at the end, as lines of the stop's box (a few) or in the Problems window.
//
// The run ends with, in order: the Problems window, when problems were kept for it; a plain box with the
// stop's word ("Stopped: 77 of 160 scans written."), how many pages were not written and how many were not
// started, and the few problems of the pages in hand, each said unless the Problems window said it; and
// "Processing ended.". A run that was not stopped but did not write every page says "N of M pages were not
// written." before "Processing ended.", as orfeo-cli does. The viewer that the Problems window opens says of
// each page that was not written why, or that the stop came before it.
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
    // The job's options: its stop, and its progress and ended entries carried to this thread.
    JobOptions Options();
    void ShowMessage(MessageKind kind, const std::string& text) override;
    void ShowMessageNow(MessageKind kind, const QString& text);
    void OnProgress(std::size_t done, std::size_t total, const QString& name);
    void OnEntryEnded(std::size_t index, bool written, const QString& why);
    void UpdateProgressDialog();
    // What the pages not written come to: "N of M pages were not written.", or after a stop how many of
    // the pages started were not written and how many were not started; empty when there is nothing to say.
    QString UnwrittenCount(const BatchResult& result) const;
    void ShowEnd(const BatchResult& result);

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
    QStringList m_problems;           // every problem of the run before the stop, in order
    std::size_t m_kept = 0;           // problems kept for the Problems window, not shown in a box
    QStringList m_afterStop;         // the problems that came once a stop was asked for (and the stop's word)
    QString m_end;                   // "Processing ended.", held until the run's end was said
    std::size_t m_ended = 0;         // entries the run took up and finished
    std::vector<bool> m_entryEnded;  // per entry of m_views
    QElapsedTimer m_sinceBox;        // since the last message box closed
};

}  // namespace orfeo
