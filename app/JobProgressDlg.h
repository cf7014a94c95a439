#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <cstddef>

class QCloseEvent;
class QLabel;
class QProgressBar;
class QPushButton;

namespace orfeo {

// The progress dialog of a running job, over the main window (which the job's runner keeps waiting): "Page
// N of M: name", a bar, the pace and a "Stop" button. Stop, Escape and the close box all ask the job to stop;
// the dialog then says so, without the pace, and stays until the job has ended (its owner hides it), so that
// it never vanishes while pages are in hand.
class JobProgressDlg : public QDialog {
    Q_OBJECT

public:
    JobProgressDlg(QWidget* owner, std::size_t entries);

    void SetProgress(std::size_t done, std::size_t total, const QString& name);
    // The pace below the bar: pages a minute and the time left, once a few pages tell them.
    QString Pace() const;
    bool Stopping() const { return m_stopping; }

signals:
    void StopRequested();

public slots:
    void RequestStop();
    void reject() override;  // Escape

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QLabel* m_label = nullptr;
    QLabel* m_pace = nullptr;
    QElapsedTimer m_clock;
    QProgressBar* m_bar = nullptr;
    QPushButton* m_stop = nullptr;
    bool m_stopping = false;
};

}  // namespace orfeo
