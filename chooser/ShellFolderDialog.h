#pragma once

#include <QDialog>
#include <QIcon>
#include <QString>
#include <functional>
#include <optional>

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace orfeo {

// A modal tree of the folder namespace, our platform's counterpart of a shell folder-browsing dialog:
// rooted at the desktop (the user's desktop folder), which holds the home folder, a computer item without
// a file-system path (holding "/" and the mounted volumes) and the desktop's own folders. Folders only,
// loaded as they are expanded, sorted by name. The title is shown above the tree; OK is enabled only for
// items with a file-system path.
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

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QTreeWidgetItem* AddFolderItem(QTreeWidgetItem* parent, const QString& label, const QString& path);
    void LoadChildren(QTreeWidgetItem* item);
    QTreeWidgetItem* FindChild(QTreeWidgetItem* parent, const QString& name);
    void OnCurrentItemChanged(QTreeWidgetItem* current);

    Callback m_callback;
    QIcon m_folderIcon;
    QLabel* m_title = nullptr;
    QTreeWidget* m_tree = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    QTreeWidgetItem* m_computer = nullptr;
    QTreeWidgetItem* m_fileSystemRoot = nullptr;
};

}  // namespace orfeo
