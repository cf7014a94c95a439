#include "app/ProblemsDlg.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QTextBlock>
#include <QTextStream>
#include <QVBoxLayout>

#include "chooser/ToolWindow.h"

namespace orfeo {

ProblemsDlg::ProblemsDlg(QWidget* owner, const QStringList& problems, const QString& summary,
                         std::vector<ViewEntry> views)
    : QDialog(owner), m_views(std::move(views)) {
    setWindowTitle(QStringLiteral("Problems"));
    setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(this);
    auto* count = new QLabel(summary.isEmpty() ? QStringLiteral("Every page was written.") : summary, this);
    count->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    count->setWordWrap(true);
    layout->addWidget(count);
    m_text = new QPlainTextEdit(this);
    m_text->setReadOnly(true);
    m_text->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_text->setPlainText(problems.join(QLatin1Char('\n')));
    m_text->setAccessibleName(QStringLiteral("Problems"));
    layout->addWidget(m_text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    QPushButton* save = buttons->addButton(QStringLiteral("Save..."), QDialogButtonBox::ActionRole);
    // Enter stays with OK: a button that has been clicked keeps the focus, and an auto-default one would
    // take Enter for itself (Save... again, once a file was saved).
    save->setAutoDefault(false);
    connect(save, &QPushButton::clicked, this, &ProblemsDlg::Save);
    QPushButton* view = buttons->addButton(QStringLiteral("&View..."), QDialogButtonBox::ActionRole);
    view->setAutoDefault(false);
    view->setEnabled(!m_views.empty());
    connect(view, &QPushButton::clicked, this, &ProblemsDlg::ViewCurrentLine);
    m_text->viewport()->installEventFilter(this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    layout->addWidget(buttons);
    FitToScreen(this, QSize(760, 420), owner);
}

QString ProblemsDlg::Text() const {
    const QString problems = m_text->toPlainText();
    const QString count = findChild<QLabel*>()->text();
    return problems.isEmpty() ? count + QLatin1Char('\n')
                              : problems + QLatin1Char('\n') + count + QLatin1Char('\n');
}

int ProblemsDlg::EntryOf(const QString& line) const {
    // The messages name files by their whole paths, in double quotes: the page, its mask, the second page
    // or the output; any other file of the entry (a back subscan) has the entry's name.
    for (std::size_t i = 0; i < m_views.size(); ++i) {
        const ViewEntry& entry = m_views[i];
        for (const QString& path : {entry.page, entry.mask, entry.page2, entry.output}) {
            if (!path.trimmed().isEmpty() && line.contains(QLatin1Char('"') + path + QLatin1Char('"')))
                return static_cast<int>(i);
        }
    }
    for (std::size_t i = 0; i < m_views.size(); ++i) {
        if (line.contains(QLatin1Char('/') + m_views[i].name + QLatin1Char('"'))) return static_cast<int>(i);
    }
    return -1;
}

void ProblemsDlg::ViewCurrentLine() {
    const int entry = EntryOf(m_text->textCursor().block().text());
    if (entry < 0) {
        QApplication::beep();
        return;
    }
    PageViewer viewer(this, m_views, entry);
    viewer.exec();
}

bool ProblemsDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_text->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        // The line under the pointer, as the text cursor has it after the click's first press.
        ViewCurrentLine();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void ProblemsDlg::Save() {
    QFileDialog dialog(this, QStringLiteral("Save the problems"), QString(),
                       QStringLiteral("Text files (*.txt)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    const QString path = dialog.selectedFiles().constFirst();
    QSaveFile file(path);
    bool saved = file.open(QIODevice::WriteOnly | QIODevice::Text);
    if (saved) {
        saved = file.write(Text().toUtf8()) >= 0;
        saved = file.commit() && saved;
    }
    if (!saved) {
        ShowToolMessage(QStringLiteral("File \"") + path + QStringLiteral("\" could not be written: ") +
                            file.errorString() + QLatin1Char('.'),
                        this);
    }
}

}  // namespace orfeo
