#pragma once

#include <QDialog>
#include <QStringList>
#include <vector>

#include "app/PageViewer.h"

class QPlainTextEdit;

namespace orfeo {

// The problems of a run whose further problems the user chose to see at the end: every problem of the run
// in its order, one a line, then how many pages were not written, as selectable and copyable text, with
// "Save..." to write it to a text file and "OK". "View..." (or a double click on a line) opens the page
// viewer on the entry of the problem under the text cursor: the entry one of whose files the line names,
// among `views`. Window-modal over `owner`; its caption is "Problems".
class ProblemsDlg : public QDialog {
    Q_OBJECT

public:
    ProblemsDlg(QWidget* owner, const QStringList& problems, const QString& summary,
                std::vector<ViewEntry> views = {});

    // The whole text, as it is shown and saved.
    QString Text() const;

    // The entry that a problem's line is about: one of whose files it names; -1 for none.
    int EntryOf(const QString& line) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Save();
    void ViewCurrentLine();

    std::vector<ViewEntry> m_views;
    QPlainTextEdit* m_text = nullptr;
};

}  // namespace orfeo
