#include "app/JobProgressDlg.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "chooser/ToolWindow.h"

namespace orfeo {

JobProgressDlg::JobProgressDlg(QWidget* owner, std::size_t entries) : QDialog(owner) {
    setObjectName(QStringLiteral("JobProgress"));
    setWindowTitle(ApplicationTitle());
    // Not modal to Qt: the job's runner keeps the input from the main window instead (MainWindowBlock),
    // which lets the main window's close box through to ask whether to stop.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    m_label = new QLabel(QStringLiteral("Page 0 of %1").arg(entries), this);
    m_label->setTextFormat(Qt::PlainText);
    m_pace = new QLabel(this);
    m_pace->setTextFormat(Qt::PlainText);
    m_bar = new QProgressBar(this);
    m_bar->setRange(0, static_cast<int>(entries));
    m_bar->setValue(0);
    m_stop = new QPushButton(QStringLiteral("Stop"), this);
    m_stop->setDefault(true);
    connect(m_stop, &QPushButton::clicked, this, &JobProgressDlg::RequestStop);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_stop);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_label);
    layout->addWidget(m_bar);
    layout->addWidget(m_pace);
    layout->addLayout(buttons);
    m_clock.start();
    setMinimumWidth(360);
}

void JobProgressDlg::SetProgress(std::size_t done, std::size_t total, const QString& name) {
    m_bar->setValue(static_cast<int>(done));
    // Stopping, the pages in hand are all that is left: no page count, pace or time left would be true.
    if (m_stopping) return;
    m_label->setText(QStringLiteral("Page %1 of %2: %3").arg(done).arg(total).arg(name));
    // The pace, once three pages and two seconds give a fair estimate.
    const double seconds = m_clock.elapsed() / 1000.0;
    if (done >= 3 && seconds >= 2 && done < total) {
        const double perMinute = 60.0 * static_cast<double>(done) / seconds;
        const double left = static_cast<double>(total - done) * seconds / static_cast<double>(done);
        const QString remaining = left < 90 ? QStringLiteral("%1 s").arg(std::max(1.0, std::round(left)))
                                            : QStringLiteral("%1 min").arg(std::round(left / 60));
        m_pace->setText(
            QStringLiteral("%1 pages a minute, about %2 left").arg(std::round(perMinute)).arg(remaining));
    }
}

QString JobProgressDlg::Pace() const { return m_pace->text(); }

void JobProgressDlg::RequestStop() {
    if (m_stopping) return;
    m_stopping = true;
    m_stop->setEnabled(false);
    m_stop->setText(QStringLiteral("Stopping..."));
    m_label->setText(QStringLiteral("Stopping after the pages in hand..."));
    m_pace->clear();
    emit StopRequested();
}

void JobProgressDlg::reject() { RequestStop(); }

void JobProgressDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    RequestStop();
}

}  // namespace orfeo
