#include "chooser/CNewFolderDlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <algorithm>

#include "chooser/DialogUnits.h"
#include "chooser/ToolWindow.h"

namespace orfeo {

CNewFolderDlg::CNewFolderDlg(QWidget* parent) : QDialog(parent ? parent : MainWindow()) {
    setObjectName(QStringLiteral("CNewFolderDlg"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QStringLiteral("New folder"));

    // Template 132, in dialog units, controls in tab order.
    const DialogUnits units(font());
    m_ok = new QPushButton(QStringLiteral("OK"), this);
    m_ok->setObjectName(QStringLiteral("IDOK"));
    m_ok->setGeometry(units.ToPixels(27, 47, 50, 14));
    m_ok->setDefault(true);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("IDCANCEL"));
    m_cancel->setGeometry(units.ToPixels(104, 47, 50, 14));
    m_editName = new QLineEdit(this);
    m_editName->setObjectName(QStringLiteral("1031"));
    m_editName->setGeometry(units.ToPixels(7, 20, 172, 14));
    m_label = new QLabel(QStringLiteral("Enter the new folder name:"), this);
    m_label->setObjectName(QStringLiteral("1138"));
    m_label->setGeometry(units.ToPixels(7, 7, 122, 8));
    m_label->setBuddy(m_editName);
    setFixedSize(units.ToPixels(186, 68));

    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void CNewFolderDlg::showEvent(QShowEvent* event) {
    if (!m_initialised) {
        m_initialised = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

void CNewFolderDlg::OnInitDialog() {
    setWindowTitle(m_strTitle);
    m_label->setText(m_strLabel);
    // Read by screen readers as the label shows it.
    m_editName->setAccessibleName(m_strLabel);
    m_cancel->setText(m_strCancel);
    m_ok->setFocus();
    // Centred over its owner, the main window, also when it shows in front of the folder chooser.
    if (QWidget* owner = MainWindow() ? MainWindow() : parentWidget()) {
        QRect frame = geometry();
        frame.moveCenter(owner->window()->geometry().center());
        if (const QScreen* screen = owner->window()->screen()) {
            const QRect area = screen->availableGeometry();
            frame.moveLeft(
                std::clamp(frame.left(), area.left(), std::max(area.left(), area.right() - frame.width())));
            frame.moveTop(
                std::clamp(frame.top(), area.top(), std::max(area.top(), area.bottom() - frame.height())));
        }
        move(frame.topLeft());
    }
}

void CNewFolderDlg::accept() {
    m_strName = m_editName->text();
    QDialog::accept();
}

}  // namespace orfeo
