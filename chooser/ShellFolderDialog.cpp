#include "chooser/ShellFolderDialog.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "chooser/ToolWindow.h"

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
constexpr int kPathFieldHeight = 23;  // the "Folder:" row between the tree and the buttons

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
    // As wide as its widest item (FitColumn), so that deep folders scroll sideways instead of being cut to
    // nothing.
    m_tree->header()->setStretchLastSection(false);
    m_tree->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_tree->setAccessibleName(QStringLiteral("Folders"));
    m_ok = new QPushButton(QStringLiteral("OK"), this);
    m_ok->setDefault(true);
    m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_pathLabel = new QLabel(QStringLiteral("Folder:"), this);
    m_path = new QLineEdit(this);
    m_path->setObjectName(QStringLiteral("PathField"));
    m_pathLabel->setBuddy(m_path);
    m_path->setAccessibleName(QStringLiteral("Folder:"));
    // The tree keeps its size; the path's row adds to the window. Smaller on a screen that has no room for
    // it (a large scale on a small screen).
    FitToScreen(this, QSize(380, 460 + kPathFieldHeight + kButtonGap), nullptr, false);
    AddPlaces();
    ConnectSignals();
}

void ShellFolderDialog::AddPlaces() {
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
}

void ShellFolderDialog::ConnectSignals() {
    connect(m_tree, &QTreeWidget::itemExpanded, this, &ShellFolderDialog::LoadChildren);
    connect(m_tree, &QTreeWidget::currentItemChanged, this, [this] { OnCurrentItemChanged(); });
    // Once the view has taken a new width (an expanded folder, a longer name), the current item is placed
    // again: before that, its place can lie beyond what the scroll bar reaches.
    connect(m_tree->horizontalScrollBar(), &QScrollBar::rangeChanged, this,
            [this] { ScrollSidewaysTo(m_tree->currentItem()); });
    const auto fitLater = [this] { QTimer::singleShot(0, this, &ShellFolderDialog::FitColumn); };
    connect(m_tree, &QTreeWidget::itemExpanded, this, fitLater);
    connect(m_tree, &QTreeWidget::itemCollapsed, this, fitLater);
    connect(m_tree->verticalScrollBar(), &QScrollBar::rangeChanged, this, fitLater);
    m_tree->installEventFilter(this);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    // A typed path can be confirmed even while the highlighted item has none (the computer item).
    connect(m_path, &QLineEdit::textEdited, this,
            [this](const QString& text) { m_ok->setEnabled(SelectedPath().has_value() || !text.isEmpty()); });
    m_ok->setEnabled(false);
}

QTreeWidgetItem* ShellFolderDialog::AddFolderItem(QTreeWidgetItem* parent, const QString& label,
                                                  const QString& path) {
    auto* item = new QTreeWidgetItem(parent, QStringList(label));
    item->setIcon(0, m_folderIcon);
    item->setData(0, kPathRole, path);
    item->setToolTip(0, path);
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
    // A folder the listing leaves out (a hidden one, or one in a folder that can be searched but not
    // read) is still a folder to choose when its path is asked for.
    const QString path = QDir(parent->data(0, kPathRole).toString()).filePath(name);
    if (name != QLatin1String(".") && name != QLatin1String("..") && QFileInfo(path).isDir())
        return AddFolderItem(parent, name, path);
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

void ShellFolderDialog::OnCurrentItemChanged() {
    const std::optional<QString> path = SelectedPath();
    m_ok->setEnabled(path.has_value());
    m_path->setText(path.value_or(QString()));
    m_path->setModified(false);
    // The view's own scrolling to the new item shows only the column's start; the item's place is asked
    // for once the view has laid out its new width.
    QTimer::singleShot(0, this, [this] { ScrollSidewaysTo(m_tree->currentItem()); });
    if (m_callback) m_callback(this, SelectionChanged, path);
}

void ShellFolderDialog::FitColumn() {
    // The whole width of the view at least, so that a highlighted row is highlighted across it.
    m_tree->resizeColumnToContents(0);
    if (m_tree->columnWidth(0) < m_tree->viewport()->width())
        m_tree->setColumnWidth(0, m_tree->viewport()->width());
}

void ShellFolderDialog::ScrollSidewaysTo(QTreeWidgetItem* item) {
    if (!item) return;
    const QRect rect = m_tree->visualItemRect(item);
    if (!rect.isValid()) return;
    // The item's icon and name, and one indentation to its left for its expand arrow; as much of the path
    // leading to it as still fits.
    const int label = m_tree->sizeHintForIndex(m_tree->indexFromItem(item)).width();
    const int start = rect.left() - m_tree->indentation();
    const int width = m_tree->viewport()->width();
    int shift = 0;
    if (start < 0) {
        shift = start;
    } else if (rect.left() + label > width) {
        shift = std::min(start, rect.left() + label - width);
    }
    if (shift != 0) m_tree->horizontalScrollBar()->setValue(m_tree->horizontalScrollBar()->value() + shift);
}

bool ShellFolderDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_tree || event->type() != QEvent::KeyPress) return QDialog::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() != Qt::NoModifier && key->modifiers() != Qt::KeypadModifier) return false;
    QTreeWidgetItem* item = m_tree->currentItem();
    if (!item) return false;
    if (key->key() == Qt::Key_Right) {
        if (!item->isExpanded()) {
            item->setExpanded(true);  // lists its subfolders
        } else if (item->childCount() > 0) {
            m_tree->setCurrentItem(item->child(0));
        }
        return true;
    }
    if (key->key() == Qt::Key_Left) {
        if (item->isExpanded() && item->childCount() > 0) {
            item->setExpanded(false);
        } else if (item->parent()) {
            m_tree->setCurrentItem(item->parent());
        }
        return true;
    }
    return false;
}

bool ShellFolderDialog::SelectTypedPath() {
    QString typed = m_path->text().trimmed();
    if (typed == QLatin1String("~") || typed.startsWith(QLatin1String("~/")))
        typed = QDir::homePath() + typed.mid(1);
    if (!QDir::isAbsolutePath(typed)) {
        const std::optional<QString> base = SelectedPath();
        typed = QDir(base.value_or(QDir::homePath())).filePath(typed);
    }
    typed = QDir::cleanPath(typed);
    if (SetSelection(typed)) return true;
    std::error_code error;
    const auto status = std::filesystem::status(QFile::encodeName(typed).toStdString(), error);
    QString why;
    if (error) {
        why = QStringLiteral(": ") + QString::fromStdString(error.message());
    } else if (!std::filesystem::is_directory(status)) {
        why = QStringLiteral(": Not a directory");
    }
    ShowToolMessageOver(QStringLiteral("There is no folder ") + typed + why + QLatin1Char('.'), this);
    m_path->setFocus();
    return false;
}

void ShellFolderDialog::accept() {
    if (m_path->isModified() && !m_path->text().trimmed().isEmpty() &&
        m_path->text().trimmed() != SelectedPath().value_or(QString())) {
        if (!SelectTypedPath()) return;
    }
    if (!SelectedPath()) return;
    QDialog::accept();
}

void ShellFolderDialog::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    const int width = this->width(), height = this->height();
    const int buttonsTop = height - kButtonsFromBottom;
    const int pathTop = buttonsTop - kMargin - kPathFieldHeight;
    const int labelWidth = m_pathLabel->sizeHint().width();
    m_pathLabel->setGeometry(kMargin, pathTop, labelWidth, kPathFieldHeight);
    m_path->setGeometry(kMargin + labelWidth + kButtonGap, pathTop,
                        std::max(0, width - 2 * kMargin - labelWidth - kButtonGap), kPathFieldHeight);
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
    m_tree->setGeometry(kMargin, treeTop, width - 2 * kMargin, std::max(0, pathTop - kButtonGap - treeTop));
    QTimer::singleShot(0, this, &ShellFolderDialog::FitColumn);
}

std::optional<QString> ShellFolderDialog::Run() {
    if (m_callback) m_callback(this, Initialized, std::nullopt);
    // The path field comes last in the Tab order, after any control the caller added: the order of the
    // chooser's other controls stays what it always was.
    QWidget* last = nullptr;
    for (QWidget* widget = nextInFocusChain(); widget != this; widget = widget->nextInFocusChain()) {
        if (widget != m_path && (widget->focusPolicy() & Qt::TabFocus)) last = widget;
    }
    if (last) setTabOrder(last, m_path);
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
