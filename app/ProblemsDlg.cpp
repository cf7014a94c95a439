#include "app/ProblemsDlg.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QTextStream>
#include <QVBoxLayout>

#include "chooser/ToolWindow.h"

namespace orfeo {

ProblemsDlg::ProblemsDlg(QWidget* owner, const QStringList& problems, const QString& summary)
    : QDialog(owner) {
    setWindowTitle(QStringLiteral("Problems"));
    setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(this);
    auto* count = new QLabel(summary.isEmpty() ? QStringLiteral("Every page was written.") : summary, this);
    count->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    layout->addWidget(count);
    m_text = new QPlainTextEdit(this);
    m_text->setReadOnly(true);
    m_text->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_text->setPlainText(problems.join(QLatin1Char('\n')));
    m_text->setAccessibleName(QStringLiteral("Problems"));
    layout->addWidget(m_text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    QPushButton* save = buttons->addButton(QStringLiteral("Save..."), QDialogButtonBox::ActionRole);
    connect(save, &QPushButton::clicked, this, &ProblemsDlg::Save);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    buttons->button(QDialogButtonBox::Ok)->setDefault(true);
    layout->addWidget(buttons);
    resize(760, 420);
}

QString ProblemsDlg::Text() const {
    const QString problems = m_text->toPlainText();
    const QString count = findChild<QLabel*>()->text();
    return problems.isEmpty() ? count + QLatin1Char('\n')
                              : problems + QLatin1Char('\n') + count + QLatin1Char('\n');
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
