#include "app/JobRun.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <thread>

#include "app/JobProgressDlg.h"
#include "app/ProblemsDlg.h"
#include "chooser/ToolWindow.h"
#include "imaging/Messages.h"

namespace orfeo {

namespace {
// Runs shorter than this finish without a progress dialog flashing up.
constexpr int kShowAfterMs = 300;
// The time the window system takes to settle the keyboard after a message box closed.
constexpr int kSettleMs = 200;
// After a message box, the progress dialog comes back only once the run has gone on this long without
// another: problems a few pages apart would otherwise make it flash up between every two boxes.
constexpr int kReturnAfterBoxMs = 1000;
}  // namespace

JobRun::JobRun(QWidget* owner, std::size_t entries, const QString& title, std::vector<ViewEntry> views)
    : m_owner(owner), m_entries(entries), m_title(title), m_views(std::move(views)) {}

BatchResult JobRun::Run(const Job& job) {
    JobProgressDlg dialog(m_owner, m_entries);
    dialog.setWindowTitle(m_title + QStringLiteral(" - ") + ApplicationTitle());
    m_dialog = &dialog;
    connect(&dialog, &JobProgressDlg::StopRequested, this, [this] { m_stop = true; });

    JobOptions options;
    options.stop = &m_stop;
    options.progress = [this](std::size_t done, std::size_t total, const std::string& name) {
        const QString file = QString::fromStdString(name);
        QMetaObject::invokeMethod(
            this, [this, done, total, file] { OnProgress(done, total, file); }, Qt::QueuedConnection);
    };

    QEventLoop loop;
    BatchResult result;
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
    dialog.hide();
    m_dialog = nullptr;
    if (m_holdProblems) {
        const QString summary = result.written < result.entries && !result.refused
                                    ? QString::fromStdString(UnwrittenPagesMessage(
                                          result.entries - result.written, result.entries))
                                    : QString();
        ProblemsDlg problems(m_owner, m_problems, summary, m_views);
        problems.exec();
        if (!m_heldEnd.isEmpty()) ShowToolMessage(m_heldEnd, m_owner);
    }
    return result;
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

void JobRun::ShowMessageNow(MessageKind kind, const QString& text) {
    if (kind == MessageKind::Problem) m_problems.append(text);
    if (m_holdProblems) {
        if (kind == MessageKind::Ended) m_heldEnd = text;
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
    if (kind == MessageKind::Problem) {
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
    } else {
        ShowToolMessage(text, m_owner);
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
