#include "chooser/BrowseForFolder.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "chooser/CNewFolderDlg.h"
#include "chooser/ShellFolderDialog.h"
#include "chooser/ToolWindow.h"
#include "scan/Paths.h"

namespace orfeo {

std::string g_strCurrentFolder;
std::string g_szPreselectFolder;

namespace {

QPointer<ShellFolderDialog> g_openChooser;

std::string ToLocal(const QString& path) { return QFile::encodeName(path).toStdString(); }
QString FromLocal(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

class ChooserCommandEvent : public QEvent {
public:
    explicit ChooserCommandEvent(int id)
        : QEvent(static_cast<QEvent::Type>(ChooserCommandEventType())), m_id(id) {}
    int Id() const { return m_id; }

private:
    int m_id;
};

QPoint ButtonPosition(const QWidget* chooser) {
    const QRect client = chooser->rect();
    return QPoint(client.left() + 10, client.bottom() + 1 - 36);
}

QPushButton* FindCreateButton(QWidget* chooser) {
    return chooser->findChild<QPushButton*>(QStringLiteral("1000"), Qt::FindDirectChildrenOnly);
}

}  // namespace

int ChooserCommandEventType() {
    static const int type = QEvent::registerEventType();
    return type;
}

bool BrowseForFolder(std::string& path, const QString& title) {
    if (g_openChooser) {
        g_openChooser->raise();
        g_openChooser->activateWindow();
        return false;
    }
    ShellFolderDialog chooser(title, BrowseCallbackProc);
    g_openChooser = &chooser;
    const std::optional<QString> chosen = chooser.Run();
    g_openChooser = nullptr;
    if (!chosen) return false;
    path = ToLocal(*chosen);
    return true;
}

void BrowseCallbackProc(ShellFolderDialog* hwnd, int uMsg, const std::optional<QString>& selectedPath) {
    if (uMsg == ShellFolderDialog::SelectionChanged) {
        if (selectedPath) g_strCurrentFolder = ToLocal(*selectedPath);
        return;
    }
    if (uMsg != ShellFolderDialog::Initialized) return;

    // A preselection that does not lead to a folder (it was removed, or never made) falls back to the
    // computer item, so that what OK would pick is always the highlighted item.
    const bool preselected =
        !g_szPreselectFolder.empty() && hwnd->SetSelection(FromLocal(g_szPreselectFolder));
    g_szPreselectFolder.clear();
    if (!preselected) hwnd->SelectComputer();

    // The chooser's own buttons set the font, asked before ours exists so that it cannot find itself.
    const QPushButton* first = hwnd->findChild<QPushButton*>();
    const QFont font = first ? first->font() : hwnd->font();
    auto* button = new QPushButton(QStringLiteral("Create new folder"), hwnd);
    button->setObjectName(QStringLiteral("1000"));
    button->setAutoDefault(false);
    button->setFont(font);
    // 110 x 23 pixels, wider when the font needs it, so that the text never touches the edges.
    button->setGeometry(QRect(ButtonPosition(hwnd), QSize(std::max(110, button->sizeHint().width()), 23)));
    QObject::connect(button, &QPushButton::clicked, hwnd, [hwnd] {
        ChooserCommandEvent command(kCreateNewFolderId);
        QCoreApplication::sendEvent(hwnd, &command);
    });
    button->show();
    // Never so small that "Create new folder" runs into OK: its width, OK's and Cancel's, and the margins
    // and gaps between them; tall enough for a few rows of the tree.
    int buttonsWidth = button->x() + button->width();
    for (QPushButton* own : hwnd->findChildren<QPushButton*>()) {
        if (own != button) buttonsWidth += 6 + std::max(75, own->sizeHint().width());
    }
    hwnd->setMinimumSize(buttonsWidth + button->x(), 220);

    hwnd->setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    hwnd->installEventFilter(new BrowseWndProc(hwnd));
    hwnd->setWindowTitle(QStringLiteral("Open Folder"));
}

bool BrowseWndProc::eventFilter(QObject* watched, QEvent* event) {
    auto* chooser = qobject_cast<ShellFolderDialog*>(watched);
    if (!chooser) return false;
    if (event->type() == ChooserCommandEventType()) {
        if (static_cast<ChooserCommandEvent*>(event)->Id() == kCreateNewFolderId)
            return OnCreateNewFolder(chooser);
        return false;
    }
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            return static_cast<QMouseEvent*>(event)->button() == Qt::RightButton;
        case QEvent::Resize:
            if (QPushButton* button = FindCreateButton(chooser)) button->move(ButtonPosition(chooser));
            return false;
        default:
            return false;
    }
}

bool BrowseWndProc::OnCreateNewFolder(ShellFolderDialog* chooser) {
    QString name;
    {
        CNewFolderDlg dialog;
        dialog.m_strLabel = QStringLiteral("Folder");
        dialog.m_strTitle = QStringLiteral("New folder");
        dialog.m_strCancel = QStringLiteral("Cancel");
        if (ExecOverWindow(dialog, chooser) != QDialog::Accepted) {
            // Back where the person was: arrows and typed names go to the tree again.
            chooser->activateWindow();
            chooser->Tree()->setFocus();
            return false;
        }
        name = dialog.GetName();
    }

    const std::string path = g_strCurrentFolder + kPathSeparator + ToLocal(name);
    g_szPreselectFolder = path;
    std::error_code error;
    const bool created = std::filesystem::create_directory(std::filesystem::path(path), error);
    // create_directory says false without an error for a folder that is there already.
    const bool exists = (!created && !error) || error == std::errc::file_exists;
    if (created) {
        chooser->close();
    } else if (exists) {
        ShowToolMessageOver(QStringLiteral("The folder is existent: ") + FromLocal(path), chooser);
        chooser->activateWindow();
        chooser->SetSelection(FromLocal(path));
        chooser->Tree()->setFocus();
    } else {
        // With the system's reason ("Permission denied", "No space left on device").
        ShowToolMessageOver(QStringLiteral("Can't create folder ") + FromLocal(path) + QStringLiteral(": ") +
                                QString::fromStdString(error.message()) + QLatin1Char('.'),
                            chooser);
        chooser->close();
    }
    return true;
}

}  // namespace orfeo
