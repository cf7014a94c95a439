#include "chooser/ShellFolderDialog.h"

#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QStyle>
#include <QTreeWidget>
#include <algorithm>

namespace orfeo {

namespace {

constexpr int kPathRole = Qt::UserRole;        // the item's file-system path; absent for the computer item
constexpr int kLoadedRole = Qt::UserRole + 1;  // children listed already

// The platform's folder-browsing dialog lays out by hand: title on top, the tree under it, OK and Cancel
// in a row at the bottom right, where the left end is free for a button of the caller's (the "Create new
// folder" button goes there, on the same line).
constexpr int kMargin = 10;
constexpr int kButtonHeight = 23;
constexpr int kButtonsFromBottom = 36;
constexpr int kButtonWidth = 75;
constexpr int kButtonGap = 6;

QString DesktopFolder() {
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    return QDir(desktop).exists() ? desktop : QString();
}

}  // namespace

ShellFolderDialog::ShellFolderDialog(const QString& title, Callback callback)
    : QDialog(nullptr), m_callback(std::move(callback)) {
    setObjectName(QStringLiteral("ShellFolderDialog"));
    setWindowTitle(QStringLiteral("Browse For Folder"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::WindowContextHelpButtonHint);

    m_folderIcon = style()->standardIcon(QStyle::SP_DirIcon);
    m_title = new QLabel(title, this);
    m_title->setWordWrap(true);
    m_tree = new QTreeWidget(this);
    m_tree->setHeaderHidden(true);
    m_tree->setColumnCount(1);
    m_ok = new QPushButton(QStringLiteral("OK"), this);
    m_ok->setDefault(true);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    resize(380, 460);

    resize(380, 460);

    const QString desktopPath = DesktopFolder();
    QTreeWidgetItem* desktop = new QTreeWidgetItem(m_tree, QStringList(QStringLiteral("Desktop")));
    desktop->setIcon(0, style()->standardIcon(QStyle::SP_DesktopIcon));
    if (!desktopPath.isEmpty()) desktop->setData(0, kPathRole, desktopPath);
    desktop->setData(0, kLoadedRole, true);
    AddFolderItem(desktop, QDir::home().dirName(), QDir::homePath())
        ->setIcon(0, style()->standardIcon(QStyle::SP_DirHomeIcon));
    m_computer = new QTreeWidgetItem(desktop, QStringList(QStringLiteral("Computer")));
    m_computer->setIcon(0, style()->standardIcon(QStyle::SP_ComputerIcon));
    m_computer->setData(0, kLoadedRole, true);
    m_fileSystemRoot = AddFolderItem(m_computer, QStringLiteral("/"), QStringLiteral("/"));
    m_fileSystemRoot->setIcon(0, style()->standardIcon(QStyle::SP_DriveHDIcon));
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (!volume.isValid() || !volume.isReady() || volume.isRoot()) continue;
        if (!volume.device().startsWith("/dev/")) continue;  // pseudo file systems are no volumes for people
        AddFolderItem(m_computer, volume.displayName(), volume.rootPath())
            ->setIcon(0, style()->standardIcon(QStyle::SP_DriveHDIcon));
    }
    if (!desktopPath.isEmpty()) {
        for (const QString& name :
             QDir(desktopPath).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase)) {
            AddFolderItem(desktop, name, QDir(desktopPath).filePath(name));
        }
    }
    desktop->setExpanded(true);
    m_computer->setExpanded(true);

    connect(m_tree, &QTreeWidget::itemExpanded, this, &ShellFolderDialog::LoadChildren);
    connect(m_tree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current) { OnCurrentItemChanged(current); });
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    m_ok->setEnabled(false);
}

QTreeWidgetItem* ShellFolderDialog::AddFolderItem(QTreeWidgetItem* parent, const QString& label,
                                                  const QString& path) {
    auto* item = new QTreeWidgetItem(parent, QStringList(label));
    item->setIcon(0, m_folderIcon);
    item->setData(0, kPathRole, path);
    item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    return item;
}

void ShellFolderDialog::LoadChildren(QTreeWidgetItem* item) {
    if (item->data(0, kLoadedRole).toBool()) return;
    item->setData(0, kLoadedRole, true);
    const QString path = item->data(0, kPathRole).toString();
    const QDir folder(path);
    const QStringList names =
        folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QString& name : names) AddFolderItem(item, name, folder.filePath(name));
    item->setChildIndicatorPolicy(names.isEmpty() ? QTreeWidgetItem::DontShowIndicator
                                                  : QTreeWidgetItem::ShowIndicator);
}

QTreeWidgetItem* ShellFolderDialog::FindChild(QTreeWidgetItem* parent, const QString& name) {
    LoadChildren(parent);
    for (int i = 0; i < parent->childCount(); ++i) {
        if (parent->child(i)->text(0) == name) return parent->child(i);
    }
    return nullptr;
}

bool ShellFolderDialog::SetSelection(const QString& path) {
    if (!QDir::isAbsolutePath(path)) return false;
    QTreeWidgetItem* item = m_fileSystemRoot;
    for (const QString& name : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        item = FindChild(item, name);
        if (!item) return false;
    }
    for (QTreeWidgetItem* up = item->parent(); up; up = up->parent()) up->setExpanded(true);
    m_tree->setCurrentItem(item);
    m_tree->scrollToItem(item);
    return true;
}

void ShellFolderDialog::SelectComputer() {
    m_tree->setCurrentItem(m_computer);
    m_tree->scrollToItem(m_computer);
}

std::optional<QString> ShellFolderDialog::SelectedPath() const {
    const QTreeWidgetItem* item = m_tree->currentItem();
    if (!item || !item->data(0, kPathRole).isValid()) return std::nullopt;
    return item->data(0, kPathRole).toString();
}

void ShellFolderDialog::OnCurrentItemChanged(QTreeWidgetItem*) {
    const std::optional<QString> path = SelectedPath();
    m_ok->setEnabled(path.has_value());
    if (m_callback) m_callback(this, SelectionChanged, path);
}

void ShellFolderDialog::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const int width = this->width(), height = this->height();
    const int buttonsTop = height - kButtonsFromBottom;
    int right = width - kMargin;
    for (QPushButton* button : {m_cancel, m_ok}) {
        const int buttonWidth = std::max(kButtonWidth, button->sizeHint().width());
        button->setGeometry(right - buttonWidth, buttonsTop, buttonWidth, kButtonHeight);
        right -= buttonWidth + kButtonGap;
    }
    const int titleHeight =
        std::max(m_title->heightForWidth(width - 2 * kMargin), m_title->sizeHint().height());
    m_title->setGeometry(kMargin, kMargin, width - 2 * kMargin, titleHeight);
    const int treeTop = kMargin + titleHeight + kButtonGap;
    m_tree->setGeometry(kMargin, treeTop, width - 2 * kMargin, std::max(0, buttonsTop - kMargin - treeTop));
}

std::optional<QString> ShellFolderDialog::Run() {
    if (m_callback) m_callback(this, Initialized, std::nullopt);
    // Modal for the one who asked, but no other window is disabled: a loop of our own rather than exec().
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
    show();
    raise();
    activateWindow();
    loop.exec(QEventLoop::DialogExec);
    if (result() != QDialog::Accepted) return std::nullopt;
    return SelectedPath();
}

}  // namespace orfeo
