#include "chooser/ShellFolderDialog.h"

#include <QDir>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace orfeo {

namespace {

constexpr int kPathRole = Qt::UserRole;         // the item's file-system path; absent for the computer item
constexpr int kLoadedRole = Qt::UserRole + 1;   // children listed already

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

    m_title = new QLabel(title, this);
    m_title->setWordWrap(true);
    m_tree = new QTreeWidget(this);
    m_tree->setHeaderHidden(true);
    m_tree->setColumnCount(1);
    m_ok = new QPushButton(QStringLiteral("OK"), this);
    m_ok->setDefault(true);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_title);
    layout->addWidget(m_tree, 1);
    layout->addLayout(buttons);
    resize(380, 460);

    const QString desktopPath = DesktopFolder();
    QTreeWidgetItem* desktop = new QTreeWidgetItem(m_tree, QStringList(QStringLiteral("Desktop")));
    if (!desktopPath.isEmpty()) desktop->setData(0, kPathRole, desktopPath);
    desktop->setData(0, kLoadedRole, true);
    AddFolderItem(desktop, QDir::home().dirName(), QDir::homePath());
    m_computer = new QTreeWidgetItem(desktop, QStringList(QStringLiteral("Computer")));
    m_computer->setData(0, kLoadedRole, true);
    m_fileSystemRoot = AddFolderItem(m_computer, QStringLiteral("/"), QStringLiteral("/"));
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (!volume.isValid() || !volume.isReady() || volume.isRoot()) continue;
        if (!volume.device().startsWith("/dev/")) continue;  // pseudo file systems are no volumes for people
        AddFolderItem(m_computer, volume.displayName(), volume.rootPath());
    }
    if (!desktopPath.isEmpty()) {
        for (const QString& name : QDir(desktopPath).entryList(QDir::Dirs | QDir::NoDotAndDotDot,
                                                               QDir::Name | QDir::IgnoreCase)) {
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
