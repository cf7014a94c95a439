#include "app/JobRun.h"

#include <QEventLoop>
#include <QMetaObject>
#include <QProgressDialog>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <thread>

#include "chooser/ToolWindow.h"

namespace orfeo {

namespace {
// Runs shorter than this finish without a progress dialog flashing up.
constexpr int kShowAfterMs = 300;
}  // namespace

JobRun::JobRun(QWidget* owner, std::size_t entries) : m_owner(owner), m_entries(entries) {}

BatchResult JobRun::Run(const Job& job) {
    QProgressDialog dialog(m_owner);
    m_dialog = &dialog;
    dialog.setObjectName(QStringLiteral("JobProgress"));
    dialog.setWindowTitle(ApplicationTitle());
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setAutoReset(false);
    dialog.setAutoClose(false);
    dialog.setMinimumDuration(0);
    dialog.setRange(0, static_cast<int>(m_entries));
    dialog.setLabelText(QStringLiteral("Page 0 of %1").arg(m_entries));
    auto* stop = new QPushButton(QStringLiteral("Stop"), &dialog);
    dialog.setCancelButton(stop);
    dialog.setMinimumWidth(360);
    dialog.hide();  // QProgressDialog shows itself on its own schedule; this one waits for kShowAfterMs
    connect(&dialog, &QProgressDialog::canceled, this, [this, stop] {
        m_stop = true;
        stop->setEnabled(false);
        m_dialog->setLabelText(QStringLiteral("Stopping after the pages in hand..."));
    });

    JobOptions options;
    options.stop = &m_stop;
    options.progress = [this](std::size_t done, std::size_t total, const std::string& name) {
        const QString file = QString::fromStdString(name);
        QMetaObject::invokeMethod(this, [this, done, total, file] { OnProgress(done, total, file); },
                                  Qt::QueuedConnection);
    };

    QEventLoop loop;
    BatchResult result;
    std::thread worker([&] {
        result = job(*this, options);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    QTimer::singleShot(kShowAfterMs, &dialog, [&dialog] { dialog.show(); });
    loop.exec();
    worker.join();
    m_dialog = nullptr;
    return result;
}

void JobRun::OnProgress(std::size_t done, std::size_t total, const QString& name) {
    if (!m_dialog || m_stop) return;
    m_dialog->setValue(static_cast<int>(done));
    m_dialog->setLabelText(QStringLiteral("Page %1 of %2: %3").arg(done).arg(total).arg(name));
}

void JobRun::ShowMessage(MessageKind, const std::string& text) {
    const QString message = QString::fromStdString(text);
    if (QThread::currentThread() == thread()) {
        ShowToolMessage(message, m_owner);
        return;
    }
    QMetaObject::invokeMethod(this, [this, message] { ShowToolMessage(message, m_owner); },
                              Qt::BlockingQueuedConnection);
}

}  // namespace orfeo
