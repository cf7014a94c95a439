#pragma once

#include <QObject>

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

#include "imaging/BatchResult.h"
#include "imaging/JobOptions.h"
#include "imaging/MessageSink.h"

class QProgressDialog;
class QWidget;

namespace orfeo {

// Runs one batch job off the user-interface thread while the window stays responsive. A window-modal
// progress dialog over `owner` shows the page count and the current file name, with a "Stop" button
// (Escape and its close box do the same). The job's messages are shown as the tool's message boxes, in
// order, from the user-interface thread, and the job waits for each to be dismissed. Run() returns when
// the job has ended.
class JobRun : public QObject, private IMessageSink {
    Q_OBJECT

public:
    using Job = std::function<BatchResult(IMessageSink& messages, const JobOptions& options)>;

    JobRun(QWidget* owner, std::size_t entries);
    BatchResult Run(const Job& job);

private:
    void ShowMessage(MessageKind kind, const std::string& text) override;
    void OnProgress(std::size_t done, std::size_t total, const QString& name);

    QWidget* m_owner;
    std::size_t m_entries;
    std::atomic<bool> m_stop{false};
    QProgressDialog* m_dialog = nullptr;
};

}  // namespace orfeo
