#include "app/CScanDlg.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <memory>

#include "app/CheckDlg.h"
#include "app/JobRun.h"
#include "chooser/BrowseForFolder.h"
#include "chooser/DialogUnits.h"
#include "chooser/ToolWindow.h"
#include "run/BackSubscans.h"
#include "run/DryRun.h"
#include "run/MergeSubscans.h"
#include "scan/FolderCheck.h"
#include "scan/FolderScan.h"
#include "scan/Paths.h"

// The icon lives in this library's resources, which a static library does not register by itself.
static void InitResources() { Q_INIT_RESOURCE(orfeo); }

namespace orfeo {

namespace {

std::string FieldText(const QLineEdit* field) { return QFile::encodeName(field->text()).toStdString(); }

// A path field as the folder scan sees it.
class LineEditField final : public ITextField {
public:
    explicit LineEditField(QLineEdit* edit) : m_edit(edit) {}
    void SetText(const std::string& text) override {
        m_edit->setText(QFile::decodeName(QByteArray::fromStdString(text)));
    }

private:
    QLineEdit* m_edit;
};

// The template's size in the font's dialog units; on a screen too small for it (a large scale on a small
// screen), a smaller font makes the units, and so the window, fit.
void FitFontToScreen(QWidget& window) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize room = screen->availableGeometry().size() - QSize(16, 48);
        QFont smaller = window.font();
        while (
            smaller.pointSizeF() > 5 &&
            !QRect(QPoint(0, 0), room).contains(QRect(QPoint(0, 0), DialogUnits(smaller).ToPixels(370, 200))))
            smaller.setPointSizeF(smaller.pointSizeF() - 0.5);
        if (smaller != window.font()) window.setFont(smaller);
    }
}

}  // namespace

// The buttons, in tab order.
struct CScanDlg::Buttons {
    QPushButton *open = nullptr, *back = nullptr, *merge = nullptr;
    QPushButton *open2 = nullptr, *checkBack = nullptr, *checkMerge = nullptr;
};

CScanDlg::CScanDlg(FolderBrowser browse) : QDialog(nullptr), m_browse(std::move(browse)) {
    InitResources();
    m_hIcon = QIcon(QStringLiteral(":/orfeo.png"));
    if (!m_browse) m_browse = BrowseForFolder;
    setObjectName(QStringLiteral("CScanDlg"));
    // A top-level window of its own (so it shows in the task bar), fixed in size, without minimise or
    // maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Orfeo"));
    setWindowIcon(m_hIcon);

    FitFontToScreen(*this);
    const Buttons buttons = AddControls();
    ConnectButtons(buttons);

    setFixedSize(DialogUnits(font()).ToPixels(370, 200));
    FitToScreen(this, size(), nullptr);
    buttons.open->setFocus();
    // A folder dropped on the window is chosen as Open folder (or Open folder 2) chooses one.
    setAcceptDrops(true);
    for (QLineEdit* output : {m_editOutput, m_editOutput2}) {
        output->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(output, &QLineEdit::customContextMenuRequested, this,
                [this, output](const QPoint& at) { ShowOutputMenu(output, at); });
    }
}

CScanDlg::Buttons CScanDlg::AddControls() {
    // Template 102, in dialog units, in tab order.
    Buttons buttons;
    buttons.open = AddButton(1006, QStringLiteral("Open folder"), 7, 14, 62, 16);
    m_editOutput = AddField(1029, 38, 55);
    m_editInput = AddField(1033, 38, 39);
    AddLabel(QStringLiteral("Input:"), 16, 41, 19);
    AddLabel(QStringLiteral("Ouput:"), 13, 57, 22);
    buttons.back = AddButton(1007, QStringLiteral("Create back subscans"), 37, 73, 87, 16);
    m_editOutput2 = AddField(1030, 38, 156);
    m_editInput2 = AddField(1034, 38, 140);
    AddLabel(QStringLiteral("Input 2:"), 11, 142, 24);
    AddLabel(QStringLiteral("Ouput 2:"), 8, 158, 27);
    buttons.merge = AddButton(1008, QStringLiteral("Merge subscans"), 37, 174, 87, 16);
    buttons.open2 = AddButton(1009, QStringLiteral("Open folder 2"), 7, 116, 62, 16);
    // Screen readers name each path field by the label beside it, as a person reads the window.
    m_editInput->setAccessibleName(QStringLiteral("Input:"));
    m_editOutput->setAccessibleName(QStringLiteral("Ouput:"));
    m_editInput2->setAccessibleName(QStringLiteral("Input 2:"));
    m_editOutput2->setAccessibleName(QStringLiteral("Ouput 2:"));
    // Beyond the template, to its right: each input's page count; beside each job, its check.
    m_count = AddCount(41);
    m_count->setObjectName(QStringLiteral("PageCount"));
    m_count2 = AddCount(142);
    m_count2->setObjectName(QStringLiteral("PageCount2"));
    buttons.checkBack = AddButton(1101, QStringLiteral("Check..."), 128, 73, 50, 16);
    buttons.checkMerge = AddButton(1102, QStringLiteral("Check..."), 128, 174, 50, 16);
    buttons.checkBack->setAccessibleDescription(QStringLiteral("Check Create back subscans"));
    buttons.checkMerge->setAccessibleDescription(QStringLiteral("Check Merge subscans"));
    return buttons;
}

void CScanDlg::ConnectButtons(const Buttons& buttons) {
    setTabOrder(buttons.open, buttons.back);
    setTabOrder(buttons.back, buttons.merge);
    setTabOrder(buttons.merge, buttons.open2);
    setTabOrder(buttons.open2, buttons.checkBack);
    setTabOrder(buttons.checkBack, buttons.checkMerge);

    connect(buttons.open, &QPushButton::clicked, this, &CScanDlg::OnOpenFolder);
    connect(buttons.open2, &QPushButton::clicked, this, &CScanDlg::OnOpenFolder2);
    connect(buttons.back, &QPushButton::clicked, this, &CScanDlg::OnCreateBackSubscans);
    connect(buttons.merge, &QPushButton::clicked, this, &CScanDlg::OnMergeSubscans);
    connect(buttons.checkBack, &QPushButton::clicked, this, &CScanDlg::OnCheckBackSubscans);
    connect(buttons.checkMerge, &QPushButton::clicked, this, &CScanDlg::OnCheckMergeSubscans);
}

// Each label ends where the template ends it, just before its field; a font wider than the template's grows
// it to the left rather than cutting it off.
void CScanDlg::AddLabel(const QString& text, int x, int y, int width) {
    auto* widget = new QLabel(text, this);
    QRect area = DialogUnits(font()).ToPixels(x, y, width, 8);
    const QSize needed = widget->sizeHint();
    if (needed.width() > area.width()) area.setLeft(area.right() + 1 - needed.width());
    if (needed.height() > area.height()) area.setHeight(needed.height());
    widget->setGeometry(area);
    widget->setAlignment(Qt::AlignRight | Qt::AlignTop);
}

QLabel* CScanDlg::AddCount(int y) {
    auto* widget = new QLabel(this);
    widget->setGeometry(DialogUnits(font()).ToPixels(317, y, 50, 8));
    widget->setTextFormat(Qt::PlainText);
    return widget;
}

QPushButton* CScanDlg::AddButton(int id, const QString& text, int x, int y, int width, int height) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QString::number(id));
    button->setGeometry(DialogUnits(font()).ToPixels(x, y, width, height));
    // No default button: Enter clicks whichever button has the focus.
    button->setAutoDefault(true);
    button->setDefault(false);
    return button;
}

QLineEdit* CScanDlg::AddField(int id, int x, int y) {
    auto* field = new QLineEdit(this);
    field->setObjectName(QString::number(id));
    field->setGeometry(DialogUnits(font()).ToPixels(x, y, 275, 12));
    // Read-only and out of the focus chain (no typing, skipped by Tab), but in the normal text colour and
    // selectable with the mouse, so that a path can be read and copied. The window's colour behind the
    // text says that it is not for typing.
    field->setReadOnly(true);
    field->setFocusPolicy(Qt::NoFocus);
    QPalette palette = field->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    field->setPalette(palette);
    return field;
}

void CScanDlg::reject() {
    if (!m_busy) QDialog::reject();
}

void CScanDlg::closeEvent(QCloseEvent* event) {
    if (m_busy) {
        // The window stays while a job runs; its close box says why and offers to stop the job.
        event->ignore();
        if (m_run && AskToStopJob(this)) m_run->RequestStop();
        return;
    }
    QDialog::closeEvent(event);
}

void CScanDlg::RunJob(const JobRun::Job& job, std::size_t entries, const QString& title,
                      std::vector<ViewEntry> views) {
    // The job's own dialogs block this window; between them (before the progress dialog shows, after a
    // message) its buttons, Escape and close box wait for the job too.
    if (m_busy) return;
    m_busy = true;
    JobRun run(this, entries, title, std::move(views));
    m_run = &run;
    run.Run(job);
    m_run = nullptr;
    m_busy = false;
}

void CScanDlg::OpenFolder(CScanList& list, QLineEdit* input, QLineEdit* output, QLabel* count,
                          const std::string& subfolder) {
    if (m_busy) return;
    std::string folder;
    if (!m_browse(folder, QStringLiteral("Choose folder"))) return;
    ChooseFolder(folder, list, input, output, count, subfolder);
}

void CScanDlg::ChooseFolder(const std::string& folder, CScanList& list, QLineEdit* input, QLineEdit* output,
                            QLabel* count, const std::string& subfolder) {
    LineEditField inputField(input), outputField(output);
    ScanFolder(folder, list, inputField, outputField, subfolder);
    count->setText(QString::fromStdString(PageCount(list.GetSize())));
    // Said at once, with the reason, rather than as "No scans are yet loaded." at the job.
    if (list.IsEmpty()) ShowToolMessage(QString::fromStdString(NoPagesMessage(FieldText(input))), this);
}

void CScanDlg::ChooseDroppedFolder(const QList<QUrl>& urls, bool second) {
    if (m_busy) return;
    // One folder of this computer, or a word of why not.
    QString refusal;
    if (urls.isEmpty()) {
        // The drag's source named items but gave none when asked for them (it went away, or was slow).
        refusal = QStringLiteral("The dropped items could not be read: drop the folder again.");
    } else if (urls.size() != 1) {
        refusal = QStringLiteral("Drop one folder at a time: %1 items were dropped.").arg(urls.size());
    } else if (!urls.front().isLocalFile()) {
        refusal = QStringLiteral("Only a folder on this computer can be dropped here, not \"%1\".")
                      .arg(urls.front().toDisplayString());
    } else if (const QString path = urls.front().toLocalFile(); !QFileInfo(path).isDir()) {
        refusal = QStringLiteral("\"%1\" is not a folder: drop the folder that holds the pages.").arg(path);
    }
    if (!refusal.isEmpty()) {
        ShowToolMessage(refusal, this);
        return;
    }
    const std::string folder = QFile::encodeName(urls.front().toLocalFile()).toStdString();
    if (second) {
        ChooseFolder(folder, m_list2, m_editInput2, m_editOutput2, m_count2, kNewScansSubfolder);
    } else {
        ChooseFolder(folder, m_list1, m_editInput, m_editOutput, m_count, kPicsSubfolder);
    }
}

void CScanDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (!m_busy && event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void CScanDlg::dropEvent(QDropEvent* event) {
    if (m_busy || !event->mimeData()->hasUrls()) return;
    event->acceptProposedAction();
    const QList<QUrl> urls = event->mimeData()->urls();
    // The window's lower half holds Open folder 2, Input 2 and Ouput 2. Chosen once the drop is over, so
    // that the source of the drag is not kept waiting by a message.
    const bool second = event->position().y() >= height() / 2.0;
    QTimer::singleShot(0, this, [this, urls, second] { ChooseDroppedFolder(urls, second); });
}

void CScanDlg::ShowOutputMenu(QLineEdit* output, const QPoint& at) {
    std::unique_ptr<QMenu> menu(output->createStandardContextMenu());
    menu->addSeparator();
    QAction* open = menu->addAction(QStringLiteral("Open in file manager"));
    // The folder the job writes, or before its first run the folder that will hold it.
    const QString folder = output->text();
    QString shown = folder;
    while (!shown.isEmpty() && !QFileInfo(shown).isDir()) shown = QFileInfo(QDir::cleanPath(shown)).path();
    open->setEnabled(!folder.isEmpty() && !shown.isEmpty());
    connect(open, &QAction::triggered, this, [this, shown] {
        if (!QDesktopServices::openUrl(QUrl::fromLocalFile(shown)))
            ShowToolMessage(QStringLiteral("No file manager could open \"%1\".").arg(shown), this);
    });
    menu->exec(output->mapToGlobal(at));
}

void CScanDlg::OnOpenFolder() { OpenFolder(m_list1, m_editInput, m_editOutput, m_count, kPicsSubfolder); }

void CScanDlg::OnOpenFolder2() {
    OpenFolder(m_list2, m_editInput2, m_editOutput2, m_count2, kNewScansSubfolder);
}

QStringList CScanDlg::NameWarnings(bool merge) const {
    QStringList warnings;
    const auto warn = [&warnings](const CScanList& list, const QString& where) {
        if (const auto pair = NumbersOutOfOrder(list)) {
            warnings.append(
                where +
                QStringLiteral("names sort as text, not by their numbers: \"%1\" comes before \"%2\".")
                    .arg(QString::fromStdString(pair->first), QString::fromStdString(pair->second)));
        }
    };
    warn(m_list1, merge ? QStringLiteral("In folder 1, ") : QString());
    if (merge) warn(m_list2, QStringLiteral("In folder 2, "));
    if (!warnings.isEmpty() && !merge) warnings[0][0] = warnings[0][0].toUpper();
    return warnings;
}

std::vector<ViewEntry> CScanDlg::ViewEntries(const std::string& input, const std::string& output,
                                             const std::string& input2) const {
    const auto local = [](const std::string& path) {
        return QFile::decodeName(QByteArray::fromStdString(path));
    };
    std::vector<ViewEntry> views;
    for (std::size_t i = 0; i < m_list1.GetSize(); ++i) {
        const ScanEntry& entry = m_list1.GetAt(i);
        ViewEntry view{.name = local(entry.name),
                       .page = local(entry.path),
                       .mask = local(input + kMaskSubfolder + entry.name),
                       .page2 = {},
                       .output = local(output + entry.name),
                       .outputNote = {}};
        // A merge's entry has a second-folder pane, empty (a blank) when folder 2 has no page for it.
        if (!input2.empty())
            view.page2 = i < m_list2.GetSize() ? local(m_list2.GetAt(i).path) : QStringLiteral(" ");
        views.push_back(std::move(view));
    }
    return views;
}

void CScanDlg::OnCheckBackSubscans() {
    if (m_busy) return;
    const std::string input = FieldText(m_editInput), output = FieldText(m_editOutput);
    int answer = 0;
    {
        CheckDlg check(
            this, QStringLiteral("Create back subscans"), false, kPicsSubfolder, NameWarnings(false),
            [this, input, output] { return PlanBackSubscans(m_list1, input, output); },
            ViewEntries(input, output, std::string()));
        answer = check.exec();
    }
    if (answer == CheckDlg::kRun) OnCreateBackSubscans();
}

void CScanDlg::OnCheckMergeSubscans() {
    if (m_busy) return;
    const std::string input = FieldText(m_editInput), output = FieldText(m_editOutput),
                      output2 = FieldText(m_editOutput2);
    int answer = 0;
    {
        CheckDlg check(
            this, QStringLiteral("Merge subscans"), true, kNewScansSubfolder, NameWarnings(true),
            [this, input, output, output2] {
                return PlanMergeSubscans(m_list1, m_list2, input, output, output2);
            },
            ViewEntries(input, output2, FieldText(m_editInput2)));
        answer = check.exec();
    }
    if (answer == CheckDlg::kRun) OnMergeSubscans();
}

void CScanDlg::OnCreateBackSubscans() {
    const std::string input = FieldText(m_editInput), output = FieldText(m_editOutput);
    RunJob(
        [&](IMessageSink& messages, const JobOptions& options) {
            return CreateBackSubscans(m_list1, input, output, messages, options);
        },
        m_list1.GetSize(), QStringLiteral("Create back subscans"), ViewEntries(input, output, std::string()));
}

void CScanDlg::OnMergeSubscans() {
    const std::string input = FieldText(m_editInput), output = FieldText(m_editOutput),
                      output2 = FieldText(m_editOutput2);
    RunJob(
        [&](IMessageSink& messages, const JobOptions& options) {
            return MergeSubscans(m_list1, m_list2, input, output, output2, messages, options);
        },
        m_list1.GetSize(), QStringLiteral("Merge subscans"),
        ViewEntries(input, output2, FieldText(m_editInput2)));
}

}  // namespace orfeo
