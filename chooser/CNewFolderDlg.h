#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class QLabel;
class QPushButton;

namespace orfeo {

// The small dialog that asks for a new folder's name. It only asks: it neither checks the name nor
// touches the file system.
//
// The caller sets m_strLabel, m_strTitle and m_strCancel, then runs exec(): they replace the template's
// label, caption and Cancel text unconditionally, empty ones included. Without a parent the dialog belongs
// to the application's main window, which it blocks while it runs, and opens centred over it. After
// exec() returned QDialog::Accepted, GetName() gives the text of the name box as it stood when OK was
// pressed, character for character (possibly empty).
class CNewFolderDlg : public QDialog {
    Q_OBJECT

public:
    explicit CNewFolderDlg(QWidget* parent = nullptr);

    QString m_strLabel;
    QString m_strTitle;
    QString m_strCancel;

    QString GetName() const { return m_strName; }
    QLineEdit* m_editName = nullptr;  // control 1031

protected:
    void showEvent(QShowEvent* event) override;
    void accept() override;

private:
    void OnInitDialog();

    QPushButton* m_ok = nullptr;      // IDOK
    QPushButton* m_cancel = nullptr;  // IDCANCEL
    QLabel* m_label = nullptr;        // control 1138
    QString m_strName;
    bool m_initialised = false;
};

}  // namespace orfeo
