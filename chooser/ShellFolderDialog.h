#pragma once

#include <QDialog>
#include <QIcon>
#include <QString>
#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace orfeo {

// A modal tree of the folder namespace, our platform's counterpart of a shell folder-browsing dialog:
// rooted at the desktop (the user's desktop folder), which holds the home folder, a computer item without
// a file-system path (holding "/" and the mounted volumes) and the desktop's own folders. Folders only,
// loaded as they are expanded, sorted by name. The title is shown above the tree; OK is enabled only for
// items with a file-system path. The tree scrolls sideways to keep the selected item in view at any depth,
// and each item's tooltip is its path. Under the tree, "Folder:" shows the selected folder's whole path;
// a path typed or pasted there (absolute, from "~", or relative to the selected folder) is selected by
// Enter or OK, and OK then returns it.
//
// The dialog reports to its callback: Initialized once the window exists (before it shows), and
// SelectionChanged after every change of selection, by the user or by SetSelection/SelectComputer, with
// the new item's path (none for an item without one).
class ShellFolderDialog : public QDialog {
    Q_OBJECT

public:
    enum Notification { Initialized = 1, SelectionChanged = 2 };
    using Callback = std::function<void(ShellFolderDialog*, Notification, const std::optional<QString>&)>;

    // No parent: the chooser belongs to no window and disables none.
    ShellFolderDialog(const QString& title, Callback callback);

    // Shows the chooser and returns when it ended: the confirmed item's path after OK, nothing after
    // Cancel, Escape, the close box or close(). Other windows stay enabled meanwhile.
    std::optional<QString> Run();

    // Selects the folder at `path` (expanding the tree down to it); false, selection unchanged, when the
    // path does not lead to a folder in the tree.
    bool SetSelection(const QString& path);
    // Selects the computer item.
    void SelectComputer();
    // The path of the selected item; none when it has no path or nothing is selected.
    std::optional<QString> SelectedPath() const;

    QTreeWidget* Tree() const { return m_tree; }
    QPushButton* OkButton() const { return m_ok; }
    QLineEdit* PathField() const { return m_path; }

public slots:
    void accept() override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    // Right and Left in the tree as in the platform's tree views: Right expands a folder, then goes to its
    // first subfolder; Left collapses it, then goes to its parent. Never a sideways scroll instead.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The tree's places as the platform's dialog shows them: the desktop, the home folder, the computer with
    // its file system and volumes, and the desktop's folders.
    void AddPlaces();
    // What the tree, the buttons and the path field do.
    void ConnectSignals();
    QTreeWidgetItem* AddFolderItem(QTreeWidgetItem* parent, const QString& label, const QString& path);
    void LoadChildren(QTreeWidgetItem* item);
    QTreeWidgetItem* FindChild(QTreeWidgetItem* parent, const QString& name);
    void OnCurrentItemChanged();
    void FitColumn();
    void ScrollSidewaysTo(QTreeWidgetItem* item);
    // Selects the folder typed in the path field; false, with a message, when it leads to no folder.
    bool SelectTypedPath();

    Callback m_callback;
    QIcon m_folderIcon;
    QLabel* m_title = nullptr;
    QTreeWidget* m_tree = nullptr;
    QLabel* m_pathLabel = nullptr;
    QLineEdit* m_path = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    QTreeWidgetItem* m_computer = nullptr;
    QTreeWidgetItem* m_fileSystemRoot = nullptr;
};

}  // namespace orfeo
