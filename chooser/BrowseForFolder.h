#pragma once

#include <QObject>
#include <QString>
#include <optional>
#include <string>

namespace orfeo {

class ShellFolderDialog;

// The folder chooser of both "Open folder" commands, with its "Create new folder" button.

// The state all choosers share, for the whole run:
// the file-system path of the latest selection that had one (never cleared);
extern std::string g_strCurrentFolder;
// the folder that the last confirmed "Create new folder" asked for, to be selected (once) when a chooser
// opens next; empty when there is none.
extern std::string g_szPreselectFolder;

// Shows the chooser with `title` above the tree. Returns true, with the chosen folder in `path`, when the
// user confirmed a folder with OK; false (`path` untouched) when the chooser was cancelled or closed, also
// by "Create new folder". The chooser has no owner, so the main window stays usable while it is open. One
// chooser at a time: while one is open, a second call brings it to the front and returns false.
bool BrowseForFolder(std::string& path, const QString& title);

// The chooser's notifications: on Initialized, selects the preselected folder (else the computer item),
// adds the "Create new folder" button, drops the context-help button, installs BrowseWndProc and sets the
// caption "Open Folder"; on SelectionChanged, keeps g_strCurrentFolder up to date.
void BrowseCallbackProc(ShellFolderDialog* hwnd, int uMsg, const std::optional<QString>& selectedPath);

// The chooser's own event handling in front of the dialog's: runs the "Create new folder" command when
// its button sends command 1000, swallows right button presses on the chooser's own surface, keeps the
// button at the bottom left, and passes everything else on.
class BrowseWndProc : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool OnCreateNewFolder(ShellFolderDialog* chooser);
};

// The command a button of the chooser sends to it, carrying the control identifier.
inline constexpr int kCreateNewFolderId = 1000;
int ChooserCommandEventType();

}  // namespace orfeo
