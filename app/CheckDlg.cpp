#include "app/CheckDlg.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>
#include <utility>

#include "chooser/ToolWindow.h"
#include "run/PlanRows.h"
#include "scan/FolderScan.h"

namespace orfeo {

namespace {

QString FromUtf8(const std::string& text) { return QString::fromStdString(text); }

// An entry's Problems cell with what is wrong first, in a few words ("Mask not found"), then the run's
// messages: these name files by their whole paths, which fill a column before they say what is wrong.
QString ProblemsCell(const PlannedEntry& entry, bool merge) {
    QStringList verdicts;
    const std::pair<const PlannedFile*, QString> files[] = {
        {&entry.page, merge ? QStringLiteral("Page 2") : QStringLiteral("Page")},
        {&entry.back, QStringLiteral("Back subscan")},
        {&entry.mask, QStringLiteral("Mask")},
        {&entry.output, QStringLiteral("Output")}};
    for (const auto& [file, role] : files) {
        if (!file->path.empty() && file->verdict != FileVerdict::Ok)
            verdicts.append(role + QLatin1Char(' ') + QString::fromUtf8(VerdictWords(file->verdict)));
    }
    QStringList messages;
    for (const std::string& message : entry.messages) messages.append(FromUtf8(message));
    QString cell = verdicts.join(QStringLiteral("; "));
    if (!messages.isEmpty())
        cell += (cell.isEmpty() ? QString() : QStringLiteral(": ")) + messages.join(QLatin1Char(' '));
    return cell;
}

// The entries' table: the plan's columns, read only, a row selected whole.
void SetUpTable(QTableWidget* table, bool merge) {
    table->setAccessibleName(QStringLiteral("Entries"));
    QStringList columns;
    for (const std::string& column : PlanColumns(merge)) columns.append(FromUtf8(column));
    table->setColumnCount(static_cast<int>(columns.size()));
    table->setHorizontalHeaderLabels(columns);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setWordWrap(false);
    table->verticalHeader()->setVisible(false);
    table->horizontalHeader()->setStretchLastSection(true);
}

// The summary's lines for a plan: the run's messages before the entries, what would be written, deleted
// and left unused.
QStringList PlanLines(const JobPlan& plan) {
    QStringList lines;
    for (const std::string& message : plan.before) lines.append(FromUtf8(message));
    const std::size_t entries = plan.entries.size();
    if (entries > 0) {
        const std::size_t written = plan.result.written;
        lines.append(
            written == entries
                ? QStringLiteral("All %1 pages would be written.").arg(entries)
                : QStringLiteral("%1 of %2 pages would not be written.").arg(entries - written).arg(entries));
    }
    if (plan.filesToDelete > 0) {
        lines.append(QStringLiteral("The run would first delete %1 %2 in \"%3\".")
                         .arg(plan.filesToDelete)
                         .arg(plan.filesToDelete == 1 ? QStringLiteral("file") : QStringLiteral("files"))
                         .arg(FromUtf8(plan.outputFolder)));
    }
    if (!plan.unused.empty()) {
        lines.append(QStringLiteral("%1 pages of folder 2 would be left unused.").arg(plan.unused.size()));
    }
    return lines;
}

// The viewer's note on each entry the run would not write, with the run's messages.
void NoteUnwritten(const JobPlan& plan, std::vector<ViewEntry>& views) {
    for (std::size_t i = 0; i < std::min(plan.entries.size(), views.size()); ++i) {
        if (plan.entries[i].written) continue;
        QStringList why;
        for (const std::string& message : plan.entries[i].messages) why.append(FromUtf8(message));
        views[i].outputNote =
            QStringLiteral("The run would not write it") +
            (why.isEmpty() ? QStringLiteral(".") : QStringLiteral(": ") + why.join(QLatin1Char(' ')));
    }
}

// A row for each page of folder 1 with its partner in folder 2, or none, for a merge that would be refused
// (`refusal` says why, in each page's note); the summary's line on the pairing goes to `lines`.
std::vector<PlanRow> PairingRows(std::vector<ViewEntry>& views, const QString& refusal, QStringList& lines) {
    std::vector<PlanRow> rows;
    std::size_t paired = 0;
    for (ViewEntry& view : views) {
        const bool partner = !view.page2.trimmed().isEmpty();
        paired += partner ? 1 : 0;
        PlanRow row;
        row.written = partner;
        row.cells = {view.name.toStdString(),
                     partner ? GetFileNamePart(view.page2.toStdString()) : std::string("(no page)"),
                     "",
                     "",
                     "",
                     partner ? std::string() : std::string("No page of folder 2 pairs with it.")};
        rows.push_back(std::move(row));
        view.outputNote = QStringLiteral("Not written: the merge would be refused. ") + refusal;
    }
    lines.append(
        paired == views.size()
            ? QStringLiteral("Every page of folder 1 pairs with a page of folder 2.")
            : QStringLiteral("%1 of the %2 pages of folder 1 pair with a page of folder 2; the other %3 "
                             "have none.")
                  .arg(paired)
                  .arg(views.size())
                  .arg(views.size() - paired));
    return rows;
}

// The rows into the table, those that would not be written in the problem colour.
void FillTable(QTableWidget* table, const std::vector<PlanRow>& rows) {
    const QColor problem = ProblemTextColour(table->palette());
    table->setUpdatesEnabled(false);
    table->setRowCount(static_cast<int>(rows.size()));
    for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
        const PlanRow& planned = rows[static_cast<std::size_t>(row)];
        for (int column = 0; column < static_cast<int>(planned.cells.size()); ++column) {
            auto* item = new QTableWidgetItem(FromUtf8(planned.cells[static_cast<std::size_t>(column)]));
            item->setToolTip(item->text());
            if (!planned.written) item->setForeground(problem);
            table->setItem(row, column, item);
        }
    }
    table->resizeColumnsToContents();
    table->setUpdatesEnabled(true);
}

}  // namespace

CheckDlg::CheckDlg(QWidget* owner, const QString& job, bool merge, const std::string& outputSubfolder,
                   const QStringList& warnings, Planner plan, std::vector<ViewEntry> views)
    : QDialog(owner),
      m_merge(merge),
      m_outputSubfolder(outputSubfolder),
      m_warnings(warnings),
      m_views(std::move(views)) {
    setObjectName(QStringLiteral("CheckDlg"));
    setWindowTitle(QStringLiteral("Check: ") + job);
    setWindowModality(Qt::WindowModal);

    m_summary = new QLabel(QStringLiteral("Checking..."), this);
    m_summary->setTextFormat(Qt::PlainText);
    m_summary->setWordWrap(true);
    m_summary->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_table = new QTableWidget(this);
    SetUpTable(m_table, merge);
    QDialogButtonBox* buttons = AddButtons();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_summary);
    layout->addWidget(m_table, 1);
    layout->addWidget(buttons);
    FitToScreen(this, QSize(merge ? 900 : 720, 480), owner);

    // The plan reads headers through the page workers: off this thread, so the window stays live.
    m_planner = std::thread([this, plan = std::move(plan)] {
        auto made = std::make_shared<JobPlan>(plan());
        QMetaObject::invokeMethod(
            this, [this, made] { ShowPlan(*made); }, Qt::QueuedConnection);
    });
}

QDialogButtonBox* CheckDlg::AddButtons() {
    auto* buttons = new QDialogButtonBox(this);
    m_view = buttons->addButton(QStringLiteral("&View..."), QDialogButtonBox::ActionRole);
    m_view->setAutoDefault(false);
    m_view->setEnabled(false);
    connect(m_view, &QPushButton::clicked, this, [this] { ViewRow(m_table->currentRow()); });
    connect(m_table, &QTableWidget::cellDoubleClicked, this, [this](int row) { ViewRow(row); });
    connect(m_table, &QTableWidget::currentCellChanged, this, [this](int row) {
        m_view->setEnabled(m_ready && row >= 0 &&
                           static_cast<std::size_t>(row) < std::min(m_entries, m_views.size()));
    });
    m_table->installEventFilter(this);
    m_run = buttons->addButton(QStringLiteral("&Run"), QDialogButtonBox::AcceptRole);
    QPushButton* close = buttons->addButton(QStringLiteral("Close"), QDialogButtonBox::RejectRole);
    m_run->setAutoDefault(false);
    m_run->setEnabled(false);
    close->setDefault(true);
    connect(m_run, &QPushButton::clicked, this, [this] { done(kRun); });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    return buttons;
}

CheckDlg::~CheckDlg() {
    if (m_planner.joinable()) m_planner.join();
}

QString CheckDlg::Summary() const { return m_summary->text(); }

void CheckDlg::ShowPlan(const JobPlan& plan) {
    QStringList lines = PlanLines(plan);
    const std::size_t entries = plan.entries.size();
    std::vector<PlanRow> rows = PlanRows(plan, m_merge, m_outputSubfolder);
    for (std::size_t i = 0; i < entries; ++i)
        rows[i].cells.back() = ProblemsCell(plan.entries[i], m_merge).toStdString();
    m_entries = entries;
    NoteUnwritten(plan, m_views);
    const QString refusal =
        plan.result.refused ? FromUtf8(plan.before.empty() ? std::string() : plan.before.front()) : QString();
    if (plan.result.refused && m_merge && !m_views.empty()) {
        // A refused merge has no entries; the pairing, as far as the folders go, shows why.
        rows = PairingRows(m_views, refusal, lines);
        m_entries = m_views.size();
    }
    if (plan.result.refused) lines.append(QStringLiteral("Run is off: the run would be refused."));
    lines.append(m_warnings);
    m_summary->setText(lines.join(QLatin1Char('\n')));
    FillTable(m_table, rows);
    m_ready = true;
    // Run only where the run would go: a refused one says why, here and on the button.
    m_run->setEnabled(!plan.result.refused);
    m_run->setToolTip(refusal);
    m_run->setAccessibleDescription(refusal);
    if (m_entries > 0 && !m_views.empty()) {
        m_table->setCurrentCell(0, 0);
        m_view->setEnabled(true);
        m_table->setFocus();  // arrows move through the rows, Enter views one
    }
}

bool CheckDlg::eventFilter(QObject* watched, QEvent* event) {
    // Enter on a row views it, rather than reaching the dialog's default button.
    if (watched == m_table && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            ViewRow(m_table->currentRow());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CheckDlg::ViewRow(int row) {
    if (!m_ready || row < 0 || static_cast<std::size_t>(row) >= std::min(m_entries, m_views.size())) return;
    PageViewer viewer(this, m_views, row);
    viewer.exec();
}

}  // namespace orfeo
