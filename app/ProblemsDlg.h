#pragma once

#include <QDialog>
#include <QStringList>

class QPlainTextEdit;

namespace orfeo {

// The problems of a run whose further problems the user chose to see at the end: every problem of the run
// in its order, one a line, then how many pages were not written, as selectable and copyable text, with
// "Save..." to write it to a text file and "OK". Window-modal over `owner`; its caption is "Problems".
class ProblemsDlg : public QDialog {
    Q_OBJECT

public:
    ProblemsDlg(QWidget* owner, const QStringList& problems, const QString& summary);

    // The whole text, as it is shown and saved.
    QString Text() const;

private:
    void Save();

    QPlainTextEdit* m_text = nullptr;
};

}  // namespace orfeo
