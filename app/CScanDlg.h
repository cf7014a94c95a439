#pragma once

#include <QDialog>
#include <QIcon>
#include <QList>
#include <QUrl>
#include <functional>
#include <string>

#include "app/JobRun.h"
#include "app/PageViewer.h"
#include "scan/CScanList.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace orfeo {

// The main window: it holds the tool's whole state (the two scan lists and the four path fields) and
// turns its four buttons into the jobs. A folder dropped on it is chosen as its Open folder button (on the
// upper half) or Open folder 2 (on the lower half) chooses one. Beside each input field it shows how many
// pages the folder lists, and beside each job a "Check..." button shows the job's plan before it runs. The
// path fields are read-only; only a folder scan writes them, and the jobs read them back when they start. A
// job runs off the user-interface thread behind a progress dialog with a Stop button (JobRun); the command
// returns when the job has ended.
class CScanDlg : public QDialog {
    Q_OBJECT

public:
    // Asks the user for a folder: true with the folder in `path`, or false when none was chosen.
    using FolderBrowser = std::function<bool(std::string& path, const QString& title)>;

    // `browse` defaults to the folder chooser (BrowseForFolder).
    explicit CScanDlg(FolderBrowser browse = {});

    CScanList m_list1;
    CScanList m_list2;
    QLineEdit* m_editOutput2 = nullptr;  // "Ouput 2:", control 1030
    QLineEdit* m_editInput2 = nullptr;   // "Input 2:", control 1034
    QLineEdit* m_editOutput = nullptr;   // "Ouput:", control 1029
    QLineEdit* m_editInput = nullptr;    // "Input:", control 1033
    QIcon m_hIcon;

    void OnOpenFolder();
    void OnOpenFolder2();
    void OnCreateBackSubscans();
    void OnMergeSubscans();
    // The check before each job (CheckDlg): its plan, changing nothing; "Run" there runs the job.
    void OnCheckBackSubscans();
    void OnCheckMergeSubscans();

    // Escape and the close box end the window, and so the program, unless a job is running.
    void reject() override;

    // A folder dropped on the window: chosen as by Open folder (`second`: Open folder 2), with the same scan,
    // counts and messages; anything else (a file, several items, a place that is no local folder) is
    // refused with a message.
    void ChooseDroppedFolder(const QList<QUrl>& urls, bool second);

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void RunJob(const JobRun::Job& job, std::size_t entries, const QString& title,
                std::vector<ViewEntry> views);
    void OpenFolder(CScanList& list, QLineEdit* input, QLineEdit* output, QLabel* count,
                    const std::string& subfolder);
    void ChooseFolder(const std::string& folder, CScanList& list, QLineEdit* input, QLineEdit* output,
                      QLabel* count, const std::string& subfolder);
    // The output fields' menu: the field's own (Copy, Select All) and "Open in file manager", which opens the
    // folder with the desktop's own handler.
    void ShowOutputMenu(QLineEdit* output, const QPoint& at);
    // Warnings for the check: names whose numbers sort as text in the lists the job pairs.
    QStringList NameWarnings(bool merge) const;
    // What the viewer shows of each entry: for a merge (`input2` set) the second folder's pages too.
    std::vector<ViewEntry> ViewEntries(const std::string& input, const std::string& output,
                                       const std::string& input2) const;
    struct Buttons;
    // The window's controls, in the order the template makes them, then the tab order and what each button
    // does.
    Buttons AddControls();
    void ConnectButtons(const Buttons& buttons);
    QPushButton* AddButton(int id, const QString& text, int x, int y, int width, int height);
    QLineEdit* AddField(int id, int x, int y);
    void AddLabel(const QString& text, int x, int y, int width);
    // A page count, beside an input field.
    QLabel* AddCount(int y);

    FolderBrowser m_browse;
    QLabel* m_count = nullptr;   // the pages listed for Input, beside it
    QLabel* m_count2 = nullptr;  // the pages listed for Input 2
    bool m_busy = false;         // a job is running
    JobRun* m_run = nullptr;     // the job running, while there is one
};

}  // namespace orfeo
