#include "app/JobRun.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <thread>

#include "app/JobProgressDlg.h"
#include "app/ProblemsDlg.h"
#include "chooser/ToolWindow.h"
#include "protocol/Messages.h"

namespace orfeo {

namespace {
// Runs shorter than this finish without a progress dialog flashing up.
constexpr int kShowAfterMs = 300;
// The time the window system takes to settle the keyboard after a message box closed.
constexpr int kSettleMs = 200;
// After a message box, the progress dialog comes back only once the run has gone on this long without
// another: problems a few pages apart would otherwise make it flash up between every two boxes.
constexpr int kReturnAfterBoxMs = 1000;
// The problems of the pages in hand after a stop that the stop's box lists; more go to the Problems window.
constexpr qsizetype kLinesAfterStop = 3;
}  // namespace

JobRun::JobRun(QWidget* owner, std::size_t entries, const QString& title, std::vector<ViewEntry> views)
    : m_owner(owner), m_entries(entries), m_title(title), m_views(std::move(views)) {}

BatchResult JobRun::Run(const Job& job) {
    JobProgressDlg dialog(m_owner, m_entries);
    dialog.setWindowTitle(m_title + QStringLiteral(" - ") + ApplicationTitle());
    m_dialog = &dialog;
    connect(&dialog, &JobProgressDlg::StopRequested, this, [this] { m_stop = true; });
    m_entryEnded.assign(m_views.size(), false);
    const JobOptions options = Options();

    QEventLoop loop;
    BatchResult result;
    {
        // The main window waits for the job as for a modal dialog, but hears its close box.
        MainWindowBlock block(m_owner, &dialog, &dialog, MainWindowBlock::CloseRequests::Pass);
        std::thread worker([&] {
            result = job(*this, options);
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        QTimer::singleShot(kShowAfterMs, &dialog, [this] {
            m_delayPassed = true;
            UpdateProgressDialog();
        });
        loop.exec();
        worker.join();
    }
    dialog.hide();
    m_dialog = nullptr;
    ShowEnd(result);
    return result;
}

JobOptions JobRun::Options() {
    JobOptions options;
    options.stop = &m_stop;
    options.progress = [this](std::size_t done, std::size_t total, const std::string& name) {
        const QString file = QString::fromStdString(name);
        QMetaObject::invokeMethod(
            this, [this, done, total, file] { OnProgress(done, total, file); }, Qt::QueuedConnection);
    };
    options.entryEnded = [this](const EntryReport& entry) {
        QStringList said;
        for (const std::string& message : entry.messages) said.append(QString::fromStdString(message));
        const QString why = said.join(QLatin1Char(' '));
        QMetaObject::invokeMethod(
            this,
            [this, index = entry.index, written = entry.written, why] { OnEntryEnded(index, written, why); },
            Qt::QueuedConnection);
    };
    return options;
}

QString JobRun::UnwrittenCount(const BatchResult& result) const {
    if (result.refused) return {};
    if (!result.stopped) {
        if (result.written >= result.entries) return {};
        return QString::fromStdString(UnwrittenPagesMessage(result.entries - result.written, result.entries));
    }
    const std::size_t started = std::min(m_ended, result.entries);
    const std::size_t failed = started - std::min(result.written, started);
    const std::size_t notStarted = result.entries - started;
    const auto pages = [](std::size_t count) {
        return count == 1 ? QStringLiteral("1 page") : QStringLiteral("%1 pages").arg(count);
    };
    const auto were = [](std::size_t count) {
        return count == 1 ? QStringLiteral("was") : QStringLiteral("were");
    };
    const QString unstarted = QStringLiteral("%1 %2 not started.").arg(pages(notStarted), were(notStarted));
    if (failed == 0) return unstarted;
    return QStringLiteral("%1 of %2 started %3 not written; %4")
        .arg(failed)
        .arg(pages(started), were(failed), unstarted);
}

void JobRun::ShowEnd(const BatchResult& result) {
    // A stopped run's last word is the stop's, which came after every other problem.
    QString stopWord;
    if (result.stopped && !m_afterStop.isEmpty()) stopWord = m_afterStop.takeLast();
    // Pages the stop kept from starting, for the viewer: nothing went wrong with them.
    if (result.stopped) {
        for (std::size_t i = 0; i < m_views.size(); ++i) {
            if (!m_entryEnded[i])
                m_views[i].outputNote = QStringLiteral("Not written: the run was stopped before this page.");
        }
    }
    const QString count = UnwrittenCount(result);
    const bool window = m_kept > 0 || m_afterStop.size() > kLinesAfterStop;
    if (window) {
        ProblemsDlg problems(m_owner, m_problems + m_afterStop, count, m_views);
        problems.exec();
    }
    QStringList end;
    if (!stopWord.isEmpty()) end.append(stopWord);
    if (!window) {
        if (!count.isEmpty()) end.append(count);
        if (!m_afterStop.isEmpty()) end.append(QStringLiteral("After the stop:"));
        end.append(m_afterStop);
    }
    if (!end.isEmpty()) ShowToolMessage(end.join(QLatin1Char('\n')), m_owner);
    if (!m_end.isEmpty()) ShowToolMessage(m_end, m_owner);
}

void JobRun::RequestStop() {
    if (m_dialog) {
        m_dialog->RequestStop();
    } else {
        m_stop = true;
    }
}

void JobRun::UpdateProgressDialog() {
    if (!m_dialog) return;
    bool show = m_delayPassed && !m_messageShowing && m_pagesSinceMessage && !m_allDone;
    if (show && !m_dialog->isVisible() && !m_holdProblems && m_sinceBox.isValid() &&
        m_sinceBox.elapsed() < kReturnAfterBoxMs) {
        // Asked again when the quiet time is over, unless a box came meanwhile (it restarts the clock).
        QTimer::singleShot(kReturnAfterBoxMs - static_cast<int>(m_sinceBox.elapsed()), m_dialog,
                           [this] { UpdateProgressDialog(); });
        show = false;
    }
    if (show == m_dialog->isVisible()) return;
    if (show) {
        m_dialog->show();
        m_dialog->raise();
        m_dialog->activateWindow();
    } else {
        m_dialog->hide();
    }
}

void JobRun::OnProgress(std::size_t done, std::size_t total, const QString& name) {
    if (!m_dialog) return;
    m_dialog->SetProgress(done, total, name);
    m_pagesSinceMessage = true;
    if (done >= total) m_allDone = true;
    UpdateProgressDialog();
}

void JobRun::OnEntryEnded(std::size_t index, bool written, const QString& why) {
    ++m_ended;
    if (index < m_entryEnded.size()) {
        m_entryEnded[index] = true;
        if (!written)
            m_views[index].outputNote =
                why.isEmpty() ? QStringLiteral("Not written.") : QStringLiteral("Not written: ") + why;
    }
}

void JobRun::ShowMessageNow(MessageKind kind, const QString& text) {
    if (kind == MessageKind::Ended) {
        // Said last, after what the run's end has to say (ShowEnd).
        m_end = text;
        return;
    }
    if (m_stop) {
        // One Stop is enough: the pages in hand end without a box each.
        m_afterStop.append(text);
        return;
    }
    m_problems.append(text);
    if (m_holdProblems) {
        ++m_kept;
        return;
    }
    m_messageShowing = true;
    m_pagesSinceMessage = false;
    UpdateProgressDialog();
    // A box that shows the instant the last one closed can lose the keyboard to the window manager's
    // giving it back to the main window: let that settle first (a fifth of a second).
    if (m_sinceBox.isValid() && m_sinceBox.elapsed() < kSettleMs) {
        QEventLoop settle;
        QTimer::singleShot(kSettleMs - static_cast<int>(m_sinceBox.elapsed()), &settle, &QEventLoop::quit);
        settle.exec(QEventLoop::ExcludeUserInputEvents);
    }
    switch (ShowProblemMessage(text, m_owner)) {
        case ProblemAnswer::Ok:
            break;
        case ProblemAnswer::ShowRestAtEnd:
            m_holdProblems = true;
            // The run goes on without boxes: the progress dialog shows it.
            m_pagesSinceMessage = true;
            break;
        case ProblemAnswer::Stop:
            RequestStop();
            break;
    }
    m_sinceBox.start();
    m_messageShowing = false;
    UpdateProgressDialog();
}

void JobRun::ShowMessage(MessageKind kind, const std::string& text) {
    const QString message = QString::fromStdString(text);
    if (QThread::currentThread() == thread()) {
        ShowMessageNow(kind, message);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, kind, message] { ShowMessageNow(kind, message); }, Qt::BlockingQueuedConnection);
}

}  // namespace orfeo
